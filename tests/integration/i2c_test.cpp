// The i2c-dev handle and the slice multiplexer against the simulated
// switches and the devices behind them.
#include "bus_checks.h"

#include <linux/i2c-dev.h>

namespace {

using namespace qelt_test;

class I2c : public board_test<0, 4, 5, 8> {
  protected:
    I2c()
    {
        h.path = "/dev/i2c-0";
        qelt_i2c_init(&h);
    }
    ~I2c() override { qelt_i2c_close(&h); }

    qelt_i2c h{};
};

TEST_F(I2c, ChannelsRouteToTheirSwitchAndDevice)
{
    using dk = qsim::device_kind;
    // Channel, switch and its control byte, then a device behind the channel
    // (0: none the library drives), what answers there and for which slice.
    const std::tuple<std::uint8_t, std::uint8_t, std::uint8_t, std::uint8_t, dk, int> cases[] = {
        {0, 0x76, 0x01, 0x20, dk::expander, 0}, {4, 0x76, 0x10, 0x40, dk::monitor, 4},
        {5, 0x77, 0x01, 0x20, dk::expander, 5}, {8, 0x77, 0x08, 0x40, dk::monitor, 8},
        {9, 0x76, 0x20, 0x40, dk::monitor, -1}, {10, 0x76, 0x40, 0x74, dk::vdcdc, -1},
        {11, 0x76, 0x80, 0, dk::none, -1},
    };
    for (const auto &[channel, sw, control, device, kind, slice] : cases) {
        SCOPED_TRACE(channel);
        board.clear_trace();
        ASSERT_EQ(qelt_i2c_mux_enable(&h, channel), 0);
        // Disconnect both, then connect one and read its byte back.
        std::vector<bytes> m;
        for (const auto &x : i2c_messages(board, 0))
            m.push_back({x.write, x.addr, x.data.at(0)});
        EXPECT_EQ(m, (std::vector<bytes>{{1, 0x76, 0}, {1, 0x77, 0}, {1, sw, control}, {0, sw, control}}));
        if (device == 0)
            continue;
        h.rlen = 1;
        ASSERT_EQ(qelt_i2c_devselect(&h, device), 0);
        ASSERT_EQ(qelt_i2c_read(&h), 0);
        EXPECT_EQ(board.trace().back().device, kind);
        EXPECT_EQ(board.trace().back().slice, slice);
        // Addresses are claimed even when a kernel driver holds them.
        for (const auto &e : board.trace())
            EXPECT_TRUE(e.kind != qsim::trace_kind::i2c_address || e.value == I2C_SLAVE_FORCE) << int(e.addr);
    }
    // Beyond the last channel: refused, but both switches are still disconnected.
    board.state().mux[0].control = 0x04;
    board.state().mux[1].control = 0x02;
    EXPECT_EQ(qelt_i2c_mux_enable(&h, 12), 1);
    EXPECT_EQ(board.state().mux[0].control + board.state().mux[1].control, 0);
    // The switch must take its address and give its control byte back.
    board.inject(refuse_select(0, 0x77, 1));
    board.inject(nack(0, 0x76, qsim::op_read));
    EXPECT_EQ(qelt_i2c_mux_enable(&h, 6) + qelt_i2c_mux_enable(&h, 10), 2);
}

// Counts beyond the handle's 128-byte buffers, and 0, never reach the bus.
// The slave devices need the gap between messages, and an EEPROM the
// longer one for its write cycle: a message of more than four bytes is
// followed by 6 ms, any other by 0.5 ms, whether or not it went through.
TEST_F(I2c, TransfersAreWholeMessagesEachFollowedByItsPause)
{
    ASSERT_TRUE(qelt_i2c_mux_enable(&h, 4) == 0 && qelt_i2c_devselect(&h, 0x40) == 0);
    board.clear_trace();
    const qelt_i2c before = h;
    for (const std::uint8_t n : {0, 129, 255}) {
        h.wlen = h.rlen = n;
        EXPECT_EQ(qelt_i2c_write(&h) + qelt_i2c_read(&h), 2) << int(n);
    }
    EXPECT_TRUE(untouched(board));
    EXPECT_EQ(std::memcmp(h.rbuf, before.rbuf, sizeof h.rbuf), 0);

    const bytes sent{0x08, 0x12, 0x34, 0x00, 0x55};
    std::copy(sent.begin(), sent.end(), h.wbuf);
    for (std::uint8_t n : {4, 5, 128}) {
        h.wlen = h.rlen = n;
        EXPECT_EQ(qelt_i2c_write(&h) + qelt_i2c_read(&h), 0) << int(n);
    }
    // A refused transfer shows the low byte of the failed call's count.
    board.inject(nack(0, 0x40));
    h.wlen = 5;
    h.rlen = 2;
    const std::string out = capture_stdout([&] {
        EXPECT_EQ(qelt_i2c_write(&h), 1);
        EXPECT_EQ(qelt_i2c_read(&h), 1);
    });
    EXPECT_TRUE(has(out, ":\"I2C Write Failure: BytestoWrite = 5, BytesWritten = 255\"\n"));
    EXPECT_NE(board.reg(control_reg) & led1_bit, 0u) << "a failed transfer closed the handle";

    // Each goes out as one message, never split or combined.
    const auto msgs = i2c_messages(board, 0, 0x40);
    ASSERT_EQ(msgs.size(), 8u);
    EXPECT_EQ(msgs[0].data, bytes(sent.begin(), sent.begin() + 4));
    EXPECT_EQ(msgs[2].data, sent);
    EXPECT_EQ(msgs[3].data.size(), 5u);
    std::vector<std::uint32_t> pauses;
    for (const auto &m : msgs)
        pauses.push_back(m.pause_us);
    EXPECT_EQ(pauses, (std::vector<std::uint32_t>{500, 500, 6000, 6000, 6000, 6000, 6000, 500}));
}

} // namespace
