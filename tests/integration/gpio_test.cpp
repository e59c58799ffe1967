// The AXI GPIO block operations, from the exported call down to the
// simulated registers.
#include "bus_checks.h"

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

} // namespace
