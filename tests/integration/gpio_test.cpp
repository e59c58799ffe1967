// The AXI GPIO block operations, from the exported call down to the
// simulated registers.
#include "sim_fixture.h"

#include <qelt/qelt.h>

#include <algorithm>

namespace {

using qelt_test::capture_stdout;
using qelt_test::sim_board;

constexpr std::uint64_t control = 0xA0050000;
constexpr std::uint64_t matrix = 0xA0060000;
constexpr std::uint64_t framesync = 0xA0080000;

class GpioBlocks : public ::testing::Test {
  protected:
    void SetUp() override { qelt_log_level = 3; }
    void TearDown() override { qelt_log_level = 0; }

    // Every page mapped was released again.
    void expect_balanced_mappings()
    {
        int mapped = 0;
        for (const auto &e : board.trace()) {
            if (e.kind == qsim::trace_kind::mem_map && e.ok)
                ++mapped;
            if (e.kind == qsim::trace_kind::mem_unmap)
                --mapped;
        }
        EXPECT_EQ(mapped, 0);
    }

    std::size_t mappings() const
    {
        auto t = const_cast<sim_board &>(board).trace();
        return static_cast<std::size_t>(std::count_if(t.begin(), t.end(), [](const qsim::trace_entry &e) {
            return e.kind == qsim::trace_kind::mem_map;
        }));
    }

    sim_board board;
};

TEST_F(GpioBlocks, LedsChangeOnlyTheirOwnBit)
{
    board.reg(control) = 0xAA00;
    EXPECT_EQ(qelt_led_set(0), 0);
    EXPECT_EQ(board.reg(control), 0xAA01u);
    EXPECT_EQ(qelt_led_status(0), 1);
    EXPECT_EQ(qelt_led_status(1), 0);
    EXPECT_EQ(qelt_led_set(1), 0);
    EXPECT_EQ(qelt_led_clear(0), 0);
    EXPECT_EQ(board.reg(control), 0xAA02u);
    EXPECT_EQ(qelt_led_toggle(1), 0);
    EXPECT_EQ(qelt_led_toggle(1), 0);
    EXPECT_EQ(board.reg(control), 0xAA02u);
    expect_balanced_mappings();
}

TEST_F(GpioBlocks, LedNumbersBeyondOneTouchNothing)
{
    board.reg(control) = 0x3;
    board.clear_trace();
    EXPECT_EQ(qelt_led_set(2), 0);
    EXPECT_EQ(qelt_led_clear(7), 0);
    EXPECT_EQ(qelt_led_toggle(255), 0);
    EXPECT_EQ(qelt_led_status(5), 0);
    EXPECT_EQ(board.reg(control), 0x3u);
    EXPECT_EQ(mappings(), 0u);
}

TEST_F(GpioBlocks, FeedbackSwitchReplacesItsByteAndKeepsTheLeds)
{
    board.reg(control) = 0x3;
    const std::string out = capture_stdout([] { EXPECT_EQ(qelt_fb_switch(nullptr, 1, 2, 5), 0); });
    EXPECT_EQ(board.reg(control), 0xAA03u);
    EXPECT_NE(out.find("INFO : qelt_fb_switch("), std::string::npos);
    EXPECT_NE(out.find(":\"FB Switch Inputs : GUI Control = 1, ADC8 = port2, ADC9 = port5\\n\"\n"),
              std::string::npos);

    // Only the low three bits of a port count.
    board.reg(control) = 0xFFFF0000;
    EXPECT_EQ(qelt_fb_switch(nullptr, 0, 9, 0), 0);
    EXPECT_EQ(board.reg(control), 0xFFFF0100u);
    expect_balanced_mappings();
}

TEST_F(GpioBlocks, SwitchMatrixWordsPerType)
{
    const std::uint64_t slice3 = matrix + 12;
    board.reg(slice3) = 0x08;
    EXPECT_EQ(qelt_slgpio_swmatrix(nullptr, 3, 3, 0, 1), 0);
    EXPECT_EQ(board.reg(slice3), 0x0800u);
    EXPECT_EQ(qelt_slgpio_swmatrix(nullptr, 3, 3, 0, 0), 0);
    EXPECT_EQ(board.reg(slice3), 0x0000u);
    EXPECT_EQ(qelt_slgpio_swmatrix(nullptr, 3, 3, 2, 0), 0);
    EXPECT_EQ(board.reg(slice3), 0x0008u);
    EXPECT_EQ(qelt_slgpio_swmatrix(nullptr, 3, 3, 1, 1), 0);
    EXPECT_EQ(board.reg(slice3), 0x0008u);
    EXPECT_EQ(board.reg(matrix + 8), 0u) << "another slice's register changed";
}

TEST_F(GpioBlocks, SwitchMatrixRefusesBadArgumentsWithoutWriting)
{
    board.reg(matrix + 12) = 0x1234;
    std::string out = capture_stdout([] { EXPECT_EQ(qelt_slgpio_swmatrix(nullptr, 3, 1, 3, 1), 1); });
    EXPECT_NE(out.find("\"GPIO Type 3 is not in range(0/1/2)!!\\n\"\n"), std::string::npos);
    EXPECT_EQ(board.reg(matrix + 12), 0x1234u);

    board.clear_trace();
    out = capture_stdout([] {
        EXPECT_EQ(qelt_slgpio_swmatrix(nullptr, 9, 1, 0, 1), 1);
        EXPECT_EQ(qelt_slgpio_swmatrix(nullptr, 3, 8, 0, 1), 1);
    });
    EXPECT_EQ(mappings(), 0u);
    EXPECT_NE(out.find("Error : qelt_slgpio_swmatrix("), std::string::npos);
}

TEST_F(GpioBlocks, FramesyncDelayMustNotExceedTheCounter)
{
    board.reg(framesync + 4) = 100;
    EXPECT_EQ(qelt_framecount_readback(), 100u);
    EXPECT_EQ(qelt_framesync_delay(100), 0);
    EXPECT_EQ(board.reg(framesync), 100u);

    const std::string out = capture_stdout([] { EXPECT_EQ(qelt_framesync_delay(101), 1); });
    EXPECT_EQ(board.reg(framesync), 100u);
    EXPECT_NE(out.find(":\"Framesync Delay value 101 should be less than 100\\n\"\n"), std::string::npos);
    expect_balanced_mappings();
}

TEST_F(GpioBlocks, UnavailableMemoryIsReportedAndNothingIsTouched)
{
    board.fail_open("/dev/mem");
    board.reg(control) = 0x1;
    const std::string out = capture_stdout([] {
        EXPECT_EQ(qelt_led_set(1), 1);
        EXPECT_EQ(qelt_led_toggle(0), 1);
        EXPECT_EQ(qelt_fb_switch(nullptr, 1, 1, 1), 1);
        EXPECT_EQ(qelt_framesync_delay(0), 1);
        EXPECT_EQ(qelt_slgpio_swmatrix(nullptr, 0, 0, 1, 0), 1);
        EXPECT_EQ(qelt_led_status(0), 1);
        EXPECT_EQ(qelt_framecount_readback(), 1u);
    });
    EXPECT_EQ(board.reg(control), 0x1u);
    EXPECT_NE(out.find("Error : qelt_gpio_open("), std::string::npos);
    EXPECT_NE(out.find(":\"can't access the gpio memory space!\"\n"), std::string::npos);
}

TEST_F(GpioBlocks, FailedMappingClosesTheNodeAndReportsIt)
{
    qsim::fault f{};
    f.kind = qsim::fault_kind::mem_map;
    f.count = 1;
    board.inject(f);
    qelt_gpio h{};
    h.base = 0xA0050000;
    capture_stdout([&] { EXPECT_EQ(qelt_gpio_open(&h), 1); });
    EXPECT_EQ(h.map, nullptr);
    EXPECT_LT(h.fd, 0);
    EXPECT_EQ(qelt_gpio_read(&h), 1) << "a read through a handle without a mapping";
    EXPECT_EQ(qelt_gpio_close(&h), 0);
}

TEST_F(GpioBlocks, PrimitivesStayInsideThePage)
{
    qelt_gpio h{};
    h.base = 0xA0080000;
    ASSERT_EQ(qelt_gpio_open(&h), 0);
    h.offset = 4096;
    EXPECT_EQ(qelt_gpio_read(&h), 1);
    h.offset = 2;
    EXPECT_EQ(qelt_gpio_write(&h), 1);
    h.offset = 4;
    h.wdata = 77;
    EXPECT_EQ(qelt_gpio_write(&h), 0);
    EXPECT_EQ(qelt_gpio_close(&h), 0);
    EXPECT_EQ(board.reg(framesync + 4), 77u);
}

} // namespace
