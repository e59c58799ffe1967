// Attenuator writes: from the slice record to the byte latched by the
// selected slice's chip select.
#include "bus_checks.h"

#include <qelt/qelt.h>

#include <cmath>
#include <vector>

namespace {

using qelt_test::capture_stdout;
using qelt_test::sim_board;

constexpr std::uint64_t slice_select = 0xA0070000;

class Dsa : public ::testing::Test {
  protected:
    void SetUp() override
    {
        qelt_log_level = 3;
        table[3].present = 1;
    }
    void TearDown() override { qelt_log_level = 0; }

    int write(std::uint8_t channel, std::uint8_t stage, float value, float step = 0.25f)
    {
        table[3].dsa_value[channel][stage] = value;
        table[3].dsa_step[channel][stage] = step;
        return qelt_dsa_write(table.data(), 3, channel, stage);
    }

    std::vector<qsim::trace_entry> transfers()
    {
        std::vector<qsim::trace_entry> out;
        for (const auto &e : board.trace())
            if (e.kind == qsim::trace_kind::spi_transfer)
                out.push_back(e);
        return out;
    }

    bool any_device_opened()
    {
        for (const auto &e : board.trace())
            if (e.kind == qsim::trace_kind::open || e.kind == qsim::trace_kind::mem_map)
                return true;
        return false;
    }

    sim_board board{3, 5};
    std::vector<qelt_slice> table = std::vector<qelt_slice>(9);
};

TEST_F(Dsa, CodesAreSentBitReversedToTheSelectedSlice)
{
    struct {
        float db;
        std::uint8_t wire;
    } const cases[] = {{31.75f, 0xFE}, {10.0f, 0x14}, {0.25f, 0x80},
                       {0.3f, 0x80},   {0.0f, 0x00},  {12.5f, 0x4C}};
    for (const auto &c : cases) {
        ASSERT_EQ(write(1, 0, c.db), 0) << c.db;
        EXPECT_EQ(board.state().slices[3].dsa[1], c.wire) << c.db;
    }
    EXPECT_EQ(board.reg(slice_select), 1u << 3);
    EXPECT_EQ(board.state().slices[5].dsa_writes[1], 0u) << "an unselected slice latched a code";
    for (const auto &t : transfers()) {
        EXPECT_EQ(t.bus, 1);
        EXPECT_EQ(t.value, 1u << 3) << "slice select at the moment of the transfer";
        EXPECT_EQ(t.len, 1);
    }
}

TEST_F(Dsa, InformationLineShowsTheWireByte)
{
    std::string out = capture_stdout([&] { EXPECT_EQ(write(0, 0, 31.75f), 0); });
    EXPECT_NE(out.find("INFO : qelt_dsa_write("), std::string::npos);
    EXPECT_NE(out.find(":\"DSA Write at device /dev/spidev2.0 , value = 31.75dB, regval = 000000fe\"\n"),
              std::string::npos);
    EXPECT_EQ(out.find("WARNING"), std::string::npos) << "31.75 itself is not clamped";
    out = capture_stdout([&] { EXPECT_EQ(write(0, 0, 0.0f), 0); });
    EXPECT_EQ(out.find("WARNING"), std::string::npos) << "0 itself is not clamped";
}

// The attenuators take mode 0, 8-bit words and at most 500 kHz: a chip
// select left as the driver had it would clock the code in wrongly.
TEST_F(Dsa, ChipSelectIsSetUpBeforeTheTransfer)
{
    board.state().spi_mode[2] = 3;
    board.state().spi_speed[2] = 10000000;
    ASSERT_EQ(write(2, 0, 10.0f), 0);
    EXPECT_EQ(board.state().spi_mode[2], 0);
    EXPECT_EQ(board.state().spi_bits[2], 8);
    EXPECT_EQ(board.state().spi_speed[2], 500000u);
}

TEST_F(Dsa, OutOfRangeValuesAreClampedForThisWriteOnly)
{
    std::string out = capture_stdout([&] { EXPECT_EQ(write(2, 1, 40.0f), 0); });
    EXPECT_EQ(board.state().slices[3].dsa[2], 0xFE);
    EXPECT_NE(out.find(":\"Setting DSA to MAX value = 31.75\"\n"), std::string::npos);
    EXPECT_EQ(table[3].dsa_value[2][1], 40.0f) << "the record keeps what the caller stored";

    out = capture_stdout([&] { EXPECT_EQ(write(2, 1, -0.01f), 0); });
    EXPECT_EQ(board.state().slices[3].dsa[2], 0x00);
    EXPECT_NE(out.find(":\"Setting DSA to MIN value = 0.00\"\n"), std::string::npos);

    out = capture_stdout([&] { EXPECT_EQ(write(2, 1, 31.76f), 0); });
    EXPECT_NE(out.find("MAX value"), std::string::npos);
}

TEST_F(Dsa, WarningsFollowTheLogLevel)
{
    qelt_log_level = 1;
    EXPECT_EQ(capture_stdout([&] { write(0, 0, 40.0f); }), "");
    qelt_log_level = 2;
    const std::string out = capture_stdout([&] { write(0, 0, 40.0f); });
    EXPECT_NE(out.find("WARNING : qelt_dsa_write("), std::string::npos);
    EXPECT_EQ(out.find("INFO"), std::string::npos);
}

TEST_F(Dsa, BothStagesShareTheChannelsChipSelect)
{
    ASSERT_EQ(write(2, 0, 10.0f), 0);
    EXPECT_EQ(board.state().slices[3].dsa[2], 0x14);
    ASSERT_EQ(write(2, 1, 2.0f, 0.5f), 0); // code 4
    EXPECT_EQ(board.state().slices[3].dsa[2], 0x20);
    EXPECT_EQ(board.state().slices[3].dsa_writes[2], 2u);
    for (const auto &t : transfers())
        EXPECT_EQ(t.bus, 2);
}

TEST_F(Dsa, WrongChannelFailsAtTheOpenAndTouchesNothing)
{
    board.clear_trace();
    const std::string out = capture_stdout([&] { EXPECT_EQ(qelt_dsa_write(table.data(), 3, 4, 0), 1); });
    EXPECT_NE(out.find(":\"Unable to open SPI Master device Wrong Channel\"\n"), std::string::npos);
    EXPECT_NE(out.find(":\"SPIDEV : Unable to open device Wrong Channel\\n\"\n"), std::string::npos);
    EXPECT_FALSE(any_device_opened());
    EXPECT_EQ(board.reg(slice_select), 0u);
}

TEST_F(Dsa, AbsentOrUnknownSliceIsRefusedBeforeAnyDevice)
{
    board.clear_trace();
    const std::string out = capture_stdout([&] {
        EXPECT_EQ(qelt_dsa_write(table.data(), 4, 0, 0), 1);
        EXPECT_EQ(qelt_dsa_write(table.data(), 9, 0, 0), 1);
        EXPECT_EQ(qelt_dsa_write(table.data(), 255, 0, 0), 1);
    });
    EXPECT_NE(out.find(":\"Slice 4 not found!\"\n"), std::string::npos);
    EXPECT_NE(out.find("Error : qelt_dsa_write("), std::string::npos);
    EXPECT_FALSE(any_device_opened());
}

TEST_F(Dsa, StepsAndValuesWithoutAMeaningAreRefused)
{
    board.clear_trace();
    const std::string out = capture_stdout([&] {
        EXPECT_EQ(write(0, 0, 10.0f, 0.0f), 1);
        EXPECT_EQ(write(0, 0, 10.0f, -0.25f), 1);
        EXPECT_EQ(write(0, 0, NAN, 0.25f), 1);
        EXPECT_EQ(write(0, 0, 10.0f, NAN), 1);
    });
    EXPECT_NE(out.find("Error : qelt_dsa_write("), std::string::npos);
    EXPECT_FALSE(any_device_opened());
    EXPECT_EQ(board.state().slices[3].dsa_writes[0], 0u);

    // A tiny step gives a code far beyond a byte: defined, not undefined.
    EXPECT_EQ(write(0, 0, 31.75f, 1e-9f), 0);
}

TEST_F(Dsa, RefusedTransferClosesTheDeviceAndPutsLed1Out)
{
    qsim::fault f{};
    f.kind = qsim::fault_kind::spi_xfer;
    f.addr = qsim::fault_any;
    f.count = 1;
    board.inject(f);
    board.clear_trace();
    const std::string out = capture_stdout([&] { EXPECT_EQ(write(1, 0, 10.0f), 1); });
    EXPECT_NE(out.find(":\"Can't send SPI message\"\n"), std::string::npos);
    EXPECT_NE(out.find(":\"SPIDEV : Transfer Failed\"\n"), std::string::npos);
    EXPECT_TRUE(qelt_test::released(board));
}

TEST_F(Dsa, RefusedSetUpStepsAreEachReported)
{
    struct {
        qsim::fault_kind kind;
        const char *message;
    } const cases[] = {
        {qsim::fault_kind::spi_mode, ":\"Can't Setup SPIDEV Mode 0\"\n"},
        {qsim::fault_kind::spi_bits, ":\"Can't Setup SPIDEV Bits per word 8\"\n"},
        {qsim::fault_kind::spi_speed, ":\"Can't Setup SPIDEV speed 500000\"\n"},
    };
    for (const auto &c : cases) {
        qsim::fault f{};
        f.kind = c.kind;
        f.addr = qsim::fault_any;
        f.count = 1;
        board.inject(f);
        const std::string out = capture_stdout([&] { EXPECT_EQ(write(0, 0, 1.0f), 1); });
        EXPECT_NE(out.find(c.message), std::string::npos) << out;
        EXPECT_NE(out.find(":\"SPIDEV : Unable to open device /dev/spidev2.0\\n\"\n"), std::string::npos);
        EXPECT_TRUE(qelt_test::released(board));
    }
    EXPECT_EQ(board.state().slices[3].dsa_writes[0], 0u);
}

TEST_F(Dsa, MissingNodeIsReportedWithItsPath)
{
    board.fail_open("/dev/spidev2.3", 1);
    const std::string out = capture_stdout([&] { EXPECT_EQ(write(3, 0, 1.0f), 1); });
    EXPECT_NE(out.find(":\"Unable to open SPI Master device /dev/spidev2.3\"\n"), std::string::npos);
    EXPECT_EQ(board.reg(slice_select), 0u);
}

TEST(SpiHandle, OnlyModeZeroIsAccepted)
{
    sim_board board;
    qelt_spidev h{};
    h.path = "/dev/spidev2.0";
    h.len = 4;
    qelt_log_level = 1;
    const std::string out = capture_stdout([&] { EXPECT_EQ(qelt_spidev_init(&h, 1), 1); });
    qelt_log_level = 0;
    EXPECT_NE(out.find(":\"Specify Valid Spidev mode (0)\"\n"), std::string::npos);
    EXPECT_EQ(h.tx_buf, nullptr);
    EXPECT_TRUE(board.trace().empty());
}

} // namespace
