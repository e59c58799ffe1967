// Attenuator writes: from the slice record to the byte latched by the
// selected slice's chip select.
#include "bus_checks.h"

#include <linux/spi/spidev.h>

namespace {

using namespace qelt_test;

class Dsa : public board_test<3, 5> {
  protected:
    int write(std::uint8_t channel, std::uint8_t stage, float value, float step = 0.25f)
    {
        table[3].dsa_value[channel][stage] = value;
        table[3].dsa_step[channel][stage] = step;
        return qelt_dsa_write(table.data(), 3, channel, stage);
    }

    qsim::slice_slot &slot(int slice) { return board.state().slices[slice]; }
};

// The code is value / step, sent least significant bit first; a value
// outside 0..31.75 dB is clamped for this write, with a warning, while the
// record keeps what the caller stored.
TEST_F(Dsa, CodesAreSentBitReversedToTheSelectedSlice)
{
    const std::tuple<float, std::uint8_t, bool> cases[] = {
        {31.75f, 0xFE, false}, {10.0f, 0x14, false}, {0.25f, 0x80, false}, {0.3f, 0x80, false},
        {0.0f, 0x00, false},   {12.5f, 0x4C, false}, {31.76f, 0xFE, true}, {-0.01f, 0x00, true}};
    for (const auto &[db, wire, clamped] : cases) {
        const std::string out = capture_stdout([&] { EXPECT_EQ(write(1, 0, db), 0); });
        EXPECT_EQ(slot(3).dsa[1], wire) << db;
        EXPECT_EQ(has(out, "WARNING"), clamped) << db;
        EXPECT_EQ(table[3].dsa_value[1][0], db);
    }
    EXPECT_EQ(slot(5).dsa_writes[1], 0u) << "an unselected slice latched a code";
    // One byte per transfer, and the chip select let go after it.
    for (const auto &e : board.trace())
        EXPECT_TRUE(e.kind != qsim::trace_kind::spi_transfer || (e.len == 1 && e.spi.cs_change == 0));
    EXPECT_TRUE(released(board));
    // A tiny step gives a code far beyond a byte: defined, not undefined.
    EXPECT_EQ(write(0, 0, 31.75f, 1e-9f), 0);
}

// The attenuators take mode 0, 8-bit words and at most 500 kHz: a chip
// select left as the driver had it would clock the code in wrongly.
TEST_F(Dsa, BothStagesGoToTheChannelsChipSelectSetUpForTheAttenuators)
{
    board.state().spi_mode[2] = 3;
    board.state().spi_speed[2] = 10000000;
    ASSERT_EQ(write(2, 0, 10.0f), 0);
    EXPECT_EQ(slot(3).dsa[2], 0x14);
    EXPECT_EQ(board.state().spi_mode[2], 0);
    EXPECT_EQ(board.state().spi_bits[2], 8);
    EXPECT_EQ(board.state().spi_speed[2], 500000u);
    ASSERT_EQ(write(2, 1, 2.0f, 0.5f), 0); // code 4
    EXPECT_EQ(slot(3).dsa[2], 0x20);
    EXPECT_EQ(slot(3).dsa_writes[2], 2u);
}

// A caller of the exported transfer may ask for more data lines after
// set-up: a direction that uses several lines gets no buffer the other way.
TEST_F(Dsa, MultiLineModesDropTheUnusedDirection)
{
    const struct {
        std::uint32_t mode;
        std::vector<int> framing; // tx and rx lines, tx and rx buffers
    } cases[] = {
        {0, {0, 0, 1, 1}},
        {SPI_TX_OCTAL | SPI_TX_DUAL, {8, 0, 1, 0}},
        {SPI_RX_DUAL, {0, 2, 0, 1}},
        {SPI_TX_DUAL | SPI_RX_QUAD, {2, 4, 1, 0}},
        {SPI_LOOP | SPI_TX_QUAD | SPI_RX_QUAD, {4, 4, 1, 1}},
    };
    qelt_spidev h{};
    h.path = "/dev/spidev2.1";
    h.len = 2;
    ASSERT_EQ(qelt_spidev_init(&h, 0), 0);
    for (const auto &c : cases) {
        h.mode = c.mode;
        ASSERT_EQ(qelt_spidev_transfer(&h), 0);
        const qsim::spi_framing f = board.trace().back().spi;
        EXPECT_EQ((std::vector<int>{f.tx_nbits, f.rx_nbits, f.has_tx, f.has_rx}), c.framing)
            << std::hex << c.mode;
    }
    qelt_spidev_close(&h);
}

} // namespace
