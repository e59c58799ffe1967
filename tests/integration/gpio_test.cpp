// The PL's blocks from the exported calls down to the simulated registers:
// the AXI GPIO blocks, and the attenuators written through spidev to the
// slice the slice select routes.
#include "bus_checks.h"

#include <linux/spi/spidev.h>

namespace {

using namespace qelt_test;

constexpr std::uint64_t matrix = 0xA0060000;
constexpr std::uint64_t framesync = 0xA0080000;

using GpioBlocks = board_test<>;

TEST_F(GpioBlocks, LedsAndFeedbackSwitchChangeOnlyTheirOwnBits)
{
    board.reg(control_reg) = 0xAA00;
    EXPECT_EQ(qelt_led_set(0), 0);
    EXPECT_EQ(board.reg(control_reg), 0xAA01u);
    EXPECT_EQ(qelt_led_status(0), 1);
    EXPECT_EQ(qelt_led_status(1), 0);
    EXPECT_EQ(qelt_led_set(1) + qelt_led_clear(0), 0);
    EXPECT_EQ(board.reg(control_reg), 0xAA02u);
    EXPECT_EQ(qelt_led_toggle(1), 0);
    EXPECT_EQ(board.reg(control_reg), 0xAA00u);

    // GUI bit, then ADC9's port above ADC8's; only the low three bits of a
    // port count.
    board.reg(control_reg) = 0xFFFF0003;
    EXPECT_EQ(qelt_fb_switch(nullptr, 1, 2, 5), 0);
    EXPECT_EQ(board.reg(control_reg), 0xFFFFAA03u);
    EXPECT_EQ(qelt_fb_switch(nullptr, 0, 9, 0), 0);
    EXPECT_EQ(board.reg(control_reg), 0xFFFF0103u);

    // There are two LEDs: other numbers touch nothing at all.
    board.clear_trace();
    EXPECT_EQ(qelt_led_set(2) + qelt_led_toggle(8) + qelt_led_clear(255) + qelt_led_status(5), 0);
    EXPECT_TRUE(untouched(board));
}

TEST_F(GpioBlocks, SwitchMatrixWordsPerType)
{
    // Type, value and slice 3's register after the call, in turn.
    board.reg(matrix + 12) = 0x08;
    for (const auto &[type, value, word] :
         {std::tuple{0, 1, 0x0800u}, {0, 0, 0x0000u}, {2, 0, 0x0008u}, {1, 1, 0x0008u}}) {
        EXPECT_EQ(qelt_slgpio_swmatrix(nullptr, 3, 3, type, value), 0);
        EXPECT_EQ(board.reg(matrix + 12), word) << type << "/" << value;
    }
    EXPECT_EQ(board.reg(matrix + 8) + board.reg(matrix + 16), 0u) << "another slice's register changed";
}

// A delay above the counter is refused; its information line shows from
// level 3, its error from level 1.
TEST_F(GpioBlocks, FramesyncDelayMustNotExceedTheCounter)
{
    board.reg(framesync + 4) = 100;
    EXPECT_EQ(qelt_framecount_readback(), 100u);
    EXPECT_EQ(qelt_framesync_delay(100), 0);
    const std::regex error(
        R"(Error : qelt_framesync_delay\(\d+\) :"Framesync Delay value 101 should be less than 100\\n"\n)");
    for (int level : {0, 1, 2, 3, 200}) {
        qelt_log_level = static_cast<std::uint8_t>(level);
        const std::string out = capture_stdout([] { EXPECT_EQ(qelt_framesync_delay(101), 1); });
        EXPECT_EQ(has(out, "INFO : qelt_framesync_delay("), level >= 3) << level;
        EXPECT_EQ(std::regex_search(out, error), level >= 1) << level << out;
    }
    EXPECT_EQ(board.reg(framesync), 100u);
}

// Accesses stay inside the mapped page, on whole registers.
TEST_F(GpioBlocks, HandlePrimitives)
{
    qelt_gpio h{};
    h.base = 0xA0080000;
    ASSERT_EQ(qelt_gpio_open(&h), 0);
    for (std::uint32_t outside : {4096u, 4094u, 2u}) {
        h.offset = outside;
        EXPECT_EQ(qelt_gpio_read(&h) + qelt_gpio_write(&h), 2) << outside;
    }
    h.offset = 4;
    h.wdata = 77;
    EXPECT_EQ(qelt_gpio_write(&h), 0);
    qelt_gpio_close(&h);
    EXPECT_EQ(board.reg(framesync + 4), 77u);
    // A refused mapping leaves nothing to access.
    board.inject(refuse_mapping());
    EXPECT_EQ(qelt_gpio_open(&h), 1);
    EXPECT_EQ(qelt_gpio_read(&h), 1);
    qelt_gpio_close(&h);
}

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
    // The mode, then tx and rx lines, tx and rx buffers.
    const std::pair<std::uint32_t, std::vector<int>> cases[] = {
        {0, {0, 0, 1, 1}},
        {SPI_TX_OCTAL | SPI_TX_DUAL, {8, 0, 1, 0}},
        {SPI_RX_DUAL, {0, 2, 0, 1}},
        {SPI_TX_DUAL | SPI_RX_QUAD, {2, 4, 1, 0}},
        {SPI_LOOP | SPI_TX_QUAD | SPI_RX_QUAD, {4, 4, 1, 1}}};
    qelt_spidev h{};
    h.path = "/dev/spidev2.1";
    h.len = 2;
    ASSERT_EQ(qelt_spidev_init(&h, 0), 0);
    for (const auto &[mode, framing] : cases) {
        h.mode = mode;
        ASSERT_EQ(qelt_spidev_transfer(&h), 0);
        const qsim::spi_framing f = board.trace().back().spi;
        EXPECT_EQ((std::vector<int>{f.tx_nbits, f.rx_nbits, f.has_tx, f.has_rx}), framing)
            << std::hex << mode;
    }
    qelt_spidev_close(&h);
}

} // namespace
