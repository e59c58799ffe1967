// The qelt-sim command: what an engineer types to set up, inspect and
// drive the simulated board.
#include "bus_checks.h"

namespace {

using namespace qelt_test;

run_result sim(std::vector<std::string> args)
{
    args.insert(args.begin(), {QELT_SIM_TOOL, "--board", "/tmp/cli.board"});
    return run_program(args);
}

TEST(SimCli, CreatesDrivesAndShowsTheBoard)
{
    ASSERT_EQ(sim({"create", "2,5-6"}).status, 0);
    const run_result detect = sim({"run", QELT_BOARDCTL, "-d"});
    EXPECT_TRUE(has(detect.out, "Slice 2 : ON\nSlice 3 : OFF\nSlice 4 : OFF\nSlice 5 : ON\nSlice 6 : ON\n"))
        << detect.out << detect.err;
    const std::string shown = sim({"show"}).out;
    EXPECT_TRUE(has(shown, "slice 2: fitted") && has(shown, "slice 3: empty"));
    EXPECT_TRUE(has(shown, "rails: VDD off  3.3V on   5.0V off")) << "boot switches 3.3 V on";
    const std::string trace = sim({"trace"}).out;
    EXPECT_TRUE(has(trace, "i2c-0 0x20 write [2] 07 c0 -> expander of slice 2, then 500 us pause\n"));

    EXPECT_EQ(sim({"set", "0xa0080004", "1234"}).status, 0);
    EXPECT_EQ(sim({"get", "0xa0080004"}).out, "0x000004d2\n");
    EXPECT_EQ(sim({"set", "expander:5", "3", "0x17"}).status, 0);
    EXPECT_EQ(sim({"get", "expander:5", "3"}).out, "0x17\n");
    EXPECT_EQ(sim({"current", "2", "vdd", "0.7"}).status, 0);
    EXPECT_EQ(sim({"get", "monitor:2", "1"}).out, "0x1b58\n") << "0.7 A on a 50 mOhm shunt";

    EXPECT_EQ(sim({"fault", "mem"}).status, 0);
    EXPECT_TRUE(
        has(sim({"run", QELT_BOARDCTL, "-b", "-f", "9a"}).out, "can't access the gpio memory space!"));
    EXPECT_EQ(sim({"fault", "clear"}).status, 0);
    EXPECT_EQ(sim({"run", QELT_BOARDCTL, "-b", "-f", "9a"}).status, 0);
    EXPECT_EQ(sim({"get", "0xa0050000"}).out, "0x00009a00\n");
}

} // namespace
