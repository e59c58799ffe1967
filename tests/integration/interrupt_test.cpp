// Rail alerts from an over-current on the simulated board up to the alert
// lines: board status bit, expander alert pins, monitor flags and limits.
// Slice 8, the last the polls visit, carries most of them.
#include "bus_checks.h"

namespace {

using namespace qelt_test;

constexpr std::uint64_t irq_status = 0xA0050008;

// Formatted in one go: GCC 12 at -O3 takes a literal prepended to a string
// for an overlapping copy (a false -Wrestrict).
std::string alert(int slice, const char *rail, const char *amps, const char *limit)
{
    char line[128];
    std::snprintf(line, sizeof line,
                  "System Interrupt :\"PSU Alert : slice %d : %s current %s A is above threshold %s A\"\n",
                  slice, rail, amps, limit);
    return line;
}

class Alerts : public board_test<2, 4, 8> {
  protected:
    void SetUp() override
    {
        // Boot programs the default limits: 0.70 A, 0.008 A and 0.50 A.
        qelt_log_level = 0;
        ASSERT_EQ(qelt_init_boot(table.data()), 0);
        ASSERT_EQ(board.reg(irq_status) & 1u, 0u);
        qelt_log_level = 1;
    }

    // Through the control command, as an operator would load the rail.
    void set_current(int slice, const char *rail, const char *amps)
    {
        const auto r = run_program({QELT_SIM_TOOL, "current", std::to_string(slice), rail, amps});
        ASSERT_EQ(r.status, 0) << r.err;
    }

    std::string detect(int r = 0) { return printed(r, qelt_detect_intr, table.data()); }
    std::string parse(int r = 0) { return printed(r, qelt_intr_parse, table.data()); }
};

TEST_F(Alerts, OverCurrentsReachTheAlertLinesInOrderWithTheirLimits)
{
    set_current(8, "vdd", "0.8");
    EXPECT_EQ(board.reg(irq_status) & 1u, 1u);
    EXPECT_EQ(board.state().slices[8].io.reg[1] & 0x80, 0) << "alert pin not pulled low";
    set_current(8, "3v3", "0.02");
    set_current(4, "5v0", "0.6");
    set_current(4, "3v3", "0.05");
    set_current(4, "vdd", "1.25");

    table[2].psu_alert = 1; // stale: rewritten by the poll
    table[0].psu_alert = 1; // absent: left alone
    detect();
    EXPECT_EQ(
        std::vector<int>({table[0].psu_alert, table[2].psu_alert, table[4].psu_alert, table[8].psu_alert}),
        std::vector<int>({1, 0, 1, 1}));
    table[0].psu_alert = 0;
    EXPECT_EQ(parse(), alert(4, "VDD", "1.25", "0.70") + alert(4, "3.0V", "0.05", "0.01") +
                           alert(4, "5.0V", "0.60", "0.50") + alert(8, "VDD", "0.80", "0.70") +
                           alert(8, "3.0V", "0.02", "0.01"));
    // Nothing printed at level 0, but the readings are still refreshed.
    table[8].psu[0] = 0.0f;
    qelt_log_level = 0;
    EXPECT_EQ(parse(), "");
    EXPECT_FLOAT_EQ(table[8].psu[0], 0.8f);

    // The expander said alert, but the monitor has no warning flag set: only
    // its mask register is read.
    qelt_log_level = 1;
    table[2].psu_alert = 1;
    table[2].psu[0] = 9.0f;
    table[4].psu_alert = table[8].psu_alert = 0;
    board.clear_trace();
    EXPECT_EQ(parse(), "");
    EXPECT_EQ(i2c_messages(board, 0, 0x40).size(), 2u);
    EXPECT_EQ(table[2].psu[0], 9.0f);
}

TEST_F(Alerts, PollingAndParsingStopAtTheFirstFailure)
{
    // Without the status bit nothing is polled and the flags stay.
    for (auto &s : table)
        s.psu_alert = 1;
    board.clear_trace();
    detect();
    EXPECT_TRUE(i2c_messages(board, 0).empty());
    for (const auto &s : table)
        EXPECT_EQ(s.psu_alert, 1);

    // Slice 2 is polled, slice 4's read fails, slice 8 is not reached.
    board.reg(irq_status) = 1;
    board.inject(nack(0, 0x20, qsim::op_read, 1, 1));
    detect(1);
    EXPECT_TRUE(table[2].psu_alert == 0 && table[8].psu_alert == 1);

    // Slice 2's monitor cannot be read: slice 8 is not visited.
    set_current(8, "vdd", "0.8");
    detect();
    table[2].psu_alert = 1;
    board.inject(nack(0, 0x40, qsim::op_read, 0, 1));
    board.clear_trace();
    EXPECT_FALSE(has(parse(1), "System Interrupt"));
    EXPECT_EQ(i2c_messages(board, 0, 0x40).size(), 2u) << "a later monitor was visited";

    // An unreadable limit after the mask and the six readings still gives
    // the alert.
    table[2].psu_alert = 0;
    board.inject(nack(0, 0x40, qsim::op_read, 7, 1));
    const std::string limitless = parse();
    EXPECT_TRUE(has(limitless, ":\"Unable to read I2C (0x40), Reg(0x08)\"\n"));
    EXPECT_TRUE(limitless.ends_with(alert(8, "VDD", "0.80", "0.00"))) << limitless;
}

} // namespace
