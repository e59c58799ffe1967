// The i2c-dev handle and the slice multiplexer against the simulated
// switches and the devices behind them.
#include "bus_checks.h"

#include <qelt/qelt.h>

#include <linux/i2c-dev.h>

#include <chrono>
#include <functional>
#include <iterator>

namespace {

using namespace qelt_test;

class I2c : public ::testing::Test {
  protected:
    void SetUp() override
    {
        qelt_log_level = 3;
        h.path = "/dev/i2c-0";
    }
    void TearDown() override { qelt_log_level = 0; }

    bool led1() { return (board.reg(control_reg) & led1_bit) != 0; }

    sim_board board{0, 4, 5, 8};
    qelt_i2c h{};
};

TEST_F(I2c, ChannelsRouteToTheirSwitchAndDevice)
{
    struct {
        std::uint8_t channel;
        int sw; // index of the switch that connects: 0 = 0x76, 1 = 0x77
        std::uint8_t control;
        std::uint8_t device; // what answers behind the channel
        qsim::device_kind kind;
        int slice;
    } const cases[] = {
        {0, 0, 0x01, 0x20, qsim::device_kind::expander, 0}, {4, 0, 0x10, 0x40, qsim::device_kind::monitor, 4},
        {5, 1, 0x01, 0x20, qsim::device_kind::expander, 5}, {8, 1, 0x08, 0x40, qsim::device_kind::monitor, 8},
        {9, 0, 0x20, 0x40, qsim::device_kind::monitor, -1}, {10, 0, 0x40, 0x74, qsim::device_kind::vdcdc, -1},
    };
    qelt_i2c_init(&h);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.channel);
        // Leave the other switch connected to show that selection clears it.
        board.state().mux[1 - c.sw].control = 0xFF;
        board.clear_trace();
        ASSERT_EQ(qelt_i2c_mux_enable(&h, c.channel), 0);
        EXPECT_EQ(board.state().mux[c.sw].control, c.control);
        EXPECT_EQ(board.state().mux[1 - c.sw].control, 0);
        EXPECT_EQ(h.wbuf[0], c.control);
        EXPECT_EQ(h.rbuf[0], c.control);

        // Disconnect both, then connect one: 0x76 <- 0, 0x77 <- 0, switch <- byte, read back.
        const auto msgs = i2c_messages(board, 0);
        ASSERT_EQ(msgs.size(), 4u);
        EXPECT_EQ(msgs[0].addr, 0x76);
        EXPECT_EQ(msgs[0].data, bytes{0});
        EXPECT_EQ(msgs[1].addr, 0x77);
        EXPECT_EQ(msgs[1].data, bytes{0});
        EXPECT_EQ(msgs[2].addr, c.sw == 0 ? 0x76 : 0x77);
        EXPECT_EQ(msgs[2].data, bytes{c.control});
        EXPECT_FALSE(msgs[3].write);

        h.rlen = 1;
        ASSERT_EQ(qelt_i2c_devselect(&h, c.device), 0);
        ASSERT_EQ(qelt_i2c_read(&h), 0);
        const auto last = board.trace().back();
        EXPECT_EQ(last.device, c.kind);
        EXPECT_EQ(last.slice, c.slice);
    }
    qelt_i2c_close(&h);
    EXPECT_FALSE(led1());
}

TEST_F(I2c, OnlyDevicesBehindAConnectedChannelAnswer)
{
    qelt_i2c_init(&h);
    // Channel 11 is connected but nothing the library drives sits there.
    ASSERT_EQ(qelt_i2c_mux_enable(&h, 11), 0);
    EXPECT_EQ(board.state().mux[0].control, 0x80);
    h.rlen = 1;
    for (std::uint8_t addr : {0x20, 0x40, 0x74}) {
        ASSERT_EQ(qelt_i2c_devselect(&h, addr), 0);
        EXPECT_EQ(qelt_i2c_read(&h), 1) << int(addr);
    }
    // An empty slot's expander answers too: it sits on the base board.
    ASSERT_EQ(qelt_i2c_mux_enable(&h, 3), 0);
    ASSERT_EQ(qelt_i2c_devselect(&h, 0x20), 0);
    ASSERT_EQ(qelt_i2c_read(&h), 0);
    EXPECT_EQ(board.trace().back().slice, 3);
    qelt_i2c_close(&h);
}

TEST_F(I2c, ExpanderRegisterPairsAndInputPins)
{
    qelt_i2c_init(&h);
    ASSERT_EQ(qelt_i2c_mux_enable(&h, 5), 0);
    ASSERT_EQ(qelt_i2c_devselect(&h, 0x20), 0);
    auto send = [&](bytes b) {
        std::copy(b.begin(), b.end(), h.wbuf);
        h.wlen = static_cast<std::uint8_t>(b.size());
        return qelt_i2c_write(&h);
    };
    auto read_two = [&] {
        h.rlen = 2;
        EXPECT_EQ(qelt_i2c_read(&h), 0);
        return bytes{h.rbuf[0], h.rbuf[1]};
    };
    // A second data byte goes to the other register of the pair.
    ASSERT_EQ(send({0x02, 0xAA, 0x55}), 0);
    ASSERT_EQ(send({0x07, 0xC0, 0x3F}), 0);
    const qsim::expander &x = board.state().slices[5].io;
    EXPECT_EQ(bytes(x.reg + 2, x.reg + 4), (bytes{0xAA, 0x55}));
    EXPECT_EQ(bytes(x.reg + 6, x.reg + 8), (bytes{0x3F, 0xC0}));

    // Port 1 reads its outputs, then pin 6 low for a fitted slice and pin 7
    // high without an alert; the second byte is port 0.
    ASSERT_EQ(send({0x01}), 0);
    EXPECT_EQ(read_two(), (bytes{0x95, 0xBF}));
    ASSERT_EQ(send({0x05, 0x40}), 0); // invert pin 6
    ASSERT_EQ(send({0x01}), 0);
    EXPECT_EQ(read_two()[0], 0xD5);
    qelt_i2c_close(&h);
}

TEST_F(I2c, ChannelOutOfRangeStillDisconnectsBothSwitches)
{
    board.state().mux[0].control = 0x04;
    board.state().mux[1].control = 0x02;
    qelt_i2c_init(&h);
    const std::string out = capture_stdout([&] { EXPECT_EQ(qelt_i2c_mux_enable(&h, 12), 1); });
    EXPECT_NE(out.find("Error : qelt_i2c_mux_enable("), std::string::npos);
    EXPECT_NE(out.find(":\"Slice channel 12 is out of bound(0..11)!\"\n"), std::string::npos);
    EXPECT_EQ(board.state().mux[0].control, 0);
    EXPECT_EQ(board.state().mux[1].control, 0);
    qelt_i2c_close(&h);
}

TEST_F(I2c, SwitchReadingBackOtherwiseStillCountsAsSelected)
{
    board.state().mux[0].dead = 0x04;
    qelt_i2c_init(&h);
    const std::string out = capture_stdout([&] { EXPECT_EQ(qelt_i2c_mux_enable(&h, 2), 0); });
    EXPECT_NE(out.find("\"Selected Channel [2]; Slave Device [0x76]; Mux Reg Value[0x4]\""),
              std::string::npos);
    EXPECT_NE(out.find("\"Mux Reg Expected[0x4] Actual[0x0]\""), std::string::npos);
    EXPECT_NE(out.find("\"Mux Enable for PSU Successful!\""), std::string::npos);
    qelt_i2c_close(&h);
}

TEST_F(I2c, MuxFailureRows)
{
    struct {
        qsim::fault fault;
        std::uint8_t channel;
        const char *message;
    } const cases[] = {
        // The disconnect step selects 0x77 once before the selection proper.
        {refuse_select(0, 0x77, 1), 6, "\"Unable to set the I2C Mux address 77\""},
        {nack(0, 0x76, qsim::op_write, 1), 1, "\"Write I2C Mux Reg failed\""},
        {nack(0, 0x76, qsim::op_read), 10, "\"Read I2C Mux Reg failed\""},
    };
    for (const auto &c : cases) {
        sim_board fresh;
        fresh.inject(c.fault);
        qelt_i2c_init(&h);
        const std::string out = capture_stdout([&] { EXPECT_EQ(qelt_i2c_mux_enable(&h, c.channel), 1); });
        EXPECT_NE(out.find(c.message), std::string::npos) << out;
        qelt_i2c_close(&h);
        EXPECT_TRUE(released(fresh));
    }
}

TEST_F(I2c, AddressesAreClaimedEvenWhenADriverHoldsThem)
{
    qelt_i2c_init(&h);
    ASSERT_EQ(qelt_i2c_mux_enable(&h, 4), 0);
    ASSERT_EQ(qelt_i2c_devselect(&h, 0x50), 0);
    qelt_i2c_close(&h);
    int selections = 0;
    for (const auto &e : board.trace()) {
        if (e.kind != qsim::trace_kind::i2c_address)
            continue;
        ++selections;
        EXPECT_EQ(e.value, static_cast<std::uint32_t>(I2C_SLAVE_FORCE))
            << "address 0x" << std::hex << int(e.addr);
    }
    EXPECT_EQ(selections, 4);
}

TEST_F(I2c, TransfersAreWholeMessages)
{
    qelt_i2c_init(&h);
    ASSERT_EQ(qelt_i2c_mux_enable(&h, 4), 0);
    ASSERT_EQ(qelt_i2c_devselect(&h, 0x40), 0);
    board.clear_trace();
    // Register write (4 bytes, short pause) and one of 5 bytes (long pause):
    // each goes out as one message, never split or combined.
    const std::uint8_t four[] = {0x08, 0x12, 0x34, 0x00};
    std::copy(std::begin(four), std::end(four), h.wbuf);
    h.wlen = 4;
    EXPECT_EQ(qelt_i2c_write(&h), 0);
    h.wbuf[4] = 0x55;
    h.wlen = 5;
    EXPECT_EQ(qelt_i2c_write(&h), 0);
    h.rlen = 2;
    EXPECT_EQ(qelt_i2c_read(&h), 0);
    EXPECT_EQ(h.rbuf[0], 0x12);
    EXPECT_EQ(h.rbuf[1], 0x34);

    const auto msgs = i2c_messages(board, 0, 0x40);
    ASSERT_EQ(msgs.size(), 3u);
    EXPECT_EQ(msgs[0].data, (bytes{0x08, 0x12, 0x34, 0x00}));
    EXPECT_EQ(msgs[1].data.size(), 5u);
    EXPECT_FALSE(msgs[2].write);
    qelt_i2c_close(&h);
}

// The slave devices need the gap between messages, and an EEPROM the
// longer one for its write cycle: a message of more than four bytes is
// followed by 6 ms, any other by 0.5 ms, whether or not it went through.
TEST_F(I2c, EveryTransferIsFollowedByItsPause)
{
    using namespace std::chrono;
    auto took = [](const std::function<int()> &transfer, int expected) {
        const auto start = steady_clock::now();
        EXPECT_EQ(transfer(), expected);
        return duration_cast<microseconds>(steady_clock::now() - start);
    };
    qelt_i2c_init(&h);
    ASSERT_EQ(qelt_i2c_mux_enable(&h, 4), 0);
    ASSERT_EQ(qelt_i2c_devselect(&h, 0x40), 0);
    const std::uint8_t limit[] = {0x08, 0x12, 0x34, 0x00, 0x00};
    std::copy(std::begin(limit), std::end(limit), h.wbuf);
    const auto send = [&] { return qelt_i2c_write(&h); };
    const auto receive = [&] { return qelt_i2c_read(&h); };

    h.wlen = 4;
    EXPECT_GE(took(send, 0), microseconds(500));
    h.wlen = 5;
    EXPECT_GE(took(send, 0), microseconds(6000));
    h.rlen = 4;
    EXPECT_GE(took(receive, 0), microseconds(500));
    h.rlen = 5;
    EXPECT_GE(took(receive, 0), microseconds(6000));

    board.inject(nack(0, 0x40));
    h.wlen = 5;
    EXPECT_GE(took(send, 1), microseconds(6000));
    h.rlen = 2;
    EXPECT_GE(took(receive, 1), microseconds(500));
    qelt_i2c_close(&h);
}

TEST_F(I2c, FailedTransfersReportTheLowByteOfTheCount)
{
    board.inject(nack(0, 0x20));
    qelt_i2c_init(&h);
    ASSERT_EQ(qelt_i2c_mux_enable(&h, 0), 0);
    ASSERT_EQ(qelt_i2c_devselect(&h, 0x20), 0);
    h.wbuf[0] = 0x03;
    h.wlen = 2;
    h.rlen = 3;
    const std::string out = capture_stdout([&] {
        EXPECT_EQ(qelt_i2c_write(&h), 1);
        EXPECT_EQ(qelt_i2c_read(&h), 1);
    });
    EXPECT_NE(out.find("Error : qelt_i2c_write("), std::string::npos);
    EXPECT_NE(out.find(":\"I2C Write Failure: BytestoWrite = 2, BytesWritten = 255\"\n"), std::string::npos);
    EXPECT_NE(out.find(":\"I2C Read Failure: BytestoRead = 3, BytesRead = 255\"\n"), std::string::npos);
    // A failed transfer leaves the handle open.
    EXPECT_TRUE(led1());
    qelt_i2c_close(&h);
    EXPECT_FALSE(led1());
}

TEST_F(I2c, MissingNodeStillLightsTheLedAndLaterStepsFail)
{
    board.fail_open("/dev/i2c-0");
    std::string out = capture_stdout([&] { EXPECT_EQ(qelt_i2c_init(&h), 0); });
    EXPECT_LT(h.fd, 0);
    EXPECT_NE(out.find("Error : qelt_i2c_init("), std::string::npos);
    EXPECT_NE(out.find(":\"QELT I2C Device Init Failed : /dev/i2c-0\"\n"), std::string::npos);
    EXPECT_TRUE(led1());

    out = capture_stdout([&] { EXPECT_EQ(qelt_i2c_devselect(&h, 0x20), 1); });
    EXPECT_NE(out.find(":\"Unable to configure I2C slave device at addr 20!\"\n"), std::string::npos);

    EXPECT_EQ(qelt_i2c_close(&h), 0);
    EXPECT_FALSE(led1());
}

} // namespace
