// Rail alerts from an over-current on the simulated board up to the alert
// lines: board status bit, expander alert pins, monitor flags and limits.
#include "bus_checks.h"

#include <qelt/qelt.h>

#include <algorithm>
#include <vector>

namespace {

using namespace qelt_test;

constexpr std::uint64_t irq_status = 0xA0050008;

// I2C transfers that reached one slot's device.
std::size_t transfers_to(sim_board &board, qsim::device_kind who, int slice)
{
    const auto trace = board.trace();
    return static_cast<std::size_t>(
        std::count_if(trace.begin(), trace.end(), [&](const qsim::trace_entry &e) {
            return (e.kind == qsim::trace_kind::i2c_write || e.kind == qsim::trace_kind::i2c_read) &&
                   e.device == who && e.slice == slice;
        }));
}

bool has(const std::string &out, const std::string &text) { return out.find(text) != std::string::npos; }

class Alerts : public ::testing::Test {
  protected:
    void SetUp() override
    {
        // Boot programs the default limits: 0.70 A, 0.008 A and 0.50 A.
        qelt_log_level = 0;
        ASSERT_EQ(qelt_init_boot(table.data()), 0);
        ASSERT_EQ(board.reg(irq_status) & 1u, 0u);
        qelt_log_level = 1;
    }
    void TearDown() override { qelt_log_level = 0; }

    // Through the control command, as an operator would load the rail.
    void set_current(int slice, const char *rail, const char *amps)
    {
        const auto r = run_program({QELT_SIM_TOOL, "current", std::to_string(slice), rail, amps});
        ASSERT_EQ(r.status, 0) << r.err;
    }

    std::string parse(int expected = 0)
    {
        return capture_stdout([&] { EXPECT_EQ(qelt_intr_parse(table.data()), expected); });
    }

    sim_board board{2, 4, 7};
    std::vector<qelt_slice> table = std::vector<qelt_slice>(QELT_SLICE_COUNT);
};

TEST_F(Alerts, OverCurrentReachesTheAlertLine)
{
    set_current(7, "vdd", "0.8");
    EXPECT_EQ(board.reg(irq_status) & 1u, 1u);
    EXPECT_EQ(board.state().slices[7].io.reg[1] & 0x80, 0) << "alert pin not pulled low";

    table[2].psu_alert = 1; // stale: rewritten by the poll
    table[0].psu_alert = 1; // absent: left alone
    EXPECT_EQ(qelt_detect_intr(table.data()), 0);
    EXPECT_EQ(
        std::vector<int>({table[0].psu_alert, table[2].psu_alert, table[4].psu_alert, table[7].psu_alert}),
        std::vector<int>({1, 0, 0, 1}));

    table[0].psu_alert = 0;
    EXPECT_EQ(parse(),
              "System Interrupt :\"PSU Alert : slice 7 : VDD current 0.80 A is above threshold 0.70 A\"\n");
    EXPECT_FLOAT_EQ(table[7].psu[0], 0.8f) << "measurements not refreshed";

    // The current falls back: the status bit goes, and with it the flag at
    // the next detection that finds the bit set.
    set_current(7, "vdd", "0.1");
    EXPECT_EQ(board.reg(irq_status) & 1u, 0u);
    EXPECT_EQ(qelt_detect_intr(table.data()), 0);
    EXPECT_EQ(table[7].psu_alert, 1) << "status bit clear: flags keep their values";
    board.reg(irq_status) = 1;
    EXPECT_EQ(qelt_detect_intr(table.data()), 0);
    EXPECT_EQ(table[7].psu_alert, 0);
}

TEST_F(Alerts, EveryFlaggedChannelInOrderWithItsLimit)
{
    set_current(4, "5v0", "0.6");
    set_current(4, "3v3", "0.05");
    set_current(4, "vdd", "1.25");
    set_current(7, "3v3", "0.02");
    ASSERT_EQ(qelt_detect_intr(table.data()), 0);
    EXPECT_EQ(parse(),
              "System Interrupt :\"PSU Alert : slice 4 : VDD current 1.25 A is above threshold 0.70 A\"\n"
              "System Interrupt :\"PSU Alert : slice 4 : 3.0V current 0.05 A is above threshold 0.01 A\"\n"
              "System Interrupt :\"PSU Alert : slice 4 : 5.0V current 0.60 A is above threshold 0.50 A\"\n"
              "System Interrupt :\"PSU Alert : slice 7 : 3.0V current 0.02 A is above threshold 0.01 A\"\n");
}

TEST_F(Alerts, LinesPerLogLevel)
{
    set_current(7, "vdd", "0.9");
    set_current(2, "5v0", "0.75");
    qelt_log_level = 3;
    std::string out = capture_stdout([&] { EXPECT_EQ(qelt_detect_intr(table.data()), 0); });
    EXPECT_TRUE(has(out, "INFO : qelt_detect_intr("));
    EXPECT_TRUE(has(out, ":\"Interrupt Polling from AXI GPIO Addr a0050000, Offset 8\"\n"));
    EXPECT_TRUE(has(out, "INFO : qelt_psu_intr_detect("));
    EXPECT_TRUE(has(out, ":\"PSU Interrupt Value for Slice 4 = 0\"\n"));
    EXPECT_TRUE(has(out, ":\"PSU Interrupt Value for Slice 7 = 1\"\n"));
    EXPECT_FALSE(has(out, "Slice 0 ="));
    out = parse();
    EXPECT_TRUE(has(out, "INFO : qelt_intr_parse("));
    // Warning and critical flag of channel 1, and the timing-control flag.
    EXPECT_TRUE(has(out, ":\"Mask Register of slice 7 = 222\"\n"));
    EXPECT_TRUE(has(out, "\nSystem Interrupt :\"PSU Alert : slice 7 : VDD current 0.90 A"));

    // Nothing printed at level 0, but the readings are still refreshed.
    table[2].psu[4] = 0.0f;
    qelt_log_level = 0;
    EXPECT_EQ(parse(), "");
    EXPECT_NEAR(table[2].psu[4], 0.75f, 0.002f);
}

TEST_F(Alerts, NoDetectionWithoutTheStatusBit)
{
    for (auto &s : table)
        s.psu_alert = 1;
    board.clear_trace();
    EXPECT_EQ(qelt_detect_intr(table.data()), 0);
    EXPECT_TRUE(i2c_messages(board, 0).empty());

    // An unmapped status block says nothing either way: not read, result 1.
    board.reg(irq_status) = 1;
    qsim::fault f{};
    f.kind = qsim::fault_kind::mem_map;
    f.bus = f.addr = qsim::fault_any;
    f.count = 1;
    board.inject(f);
    const std::string out = capture_stdout([&] { EXPECT_EQ(qelt_detect_intr(table.data()), 1); });
    EXPECT_TRUE(has(out, "Error : "));
    EXPECT_TRUE(i2c_messages(board, 0).empty());
    for (const auto &s : table)
        EXPECT_EQ(s.psu_alert, 1);
}

TEST_F(Alerts, FlaggedSliceWithoutWarningFlagsIsSkipped)
{
    // The expander said alert, but the monitor has no warning flag set.
    table[4].psu_alert = 1;
    table[4].psu[0] = 9.0f;
    board.clear_trace();
    EXPECT_EQ(parse(), "");
    EXPECT_EQ(transfers_to(board, qsim::device_kind::monitor, 4), 2u) << "more than the mask register read";
    EXPECT_EQ(table[4].psu[0], 9.0f);
}

TEST_F(Alerts, PollAndParseStopAtTheFirstFailure)
{
    board.reg(irq_status) = 1;
    table[2].psu_alert = 1;
    table[7].psu_alert = 1;
    // Slice 2 is polled, slice 4's read fails, slice 7 is not reached.
    board.inject(nack(0, 0x20, qsim::op_read, 1, 1));
    std::string out = capture_stdout([&] { EXPECT_EQ(qelt_detect_intr(table.data()), 1); });
    EXPECT_TRUE(has(out, "Error : qelt_psu_intr_detect("));
    EXPECT_TRUE(has(out, ":\"Unable to read I2C PSU(0x20), Reg(0x01)\"\n"));
    EXPECT_EQ(table[2].psu_alert, 0);
    EXPECT_EQ(table[7].psu_alert, 1);

    board.inject(nack(0, 0x20, qsim::op_write, 0, 1));
    out = capture_stdout([&] { EXPECT_EQ(qelt_psu_intr_detect(table.data()), 1); });
    EXPECT_TRUE(has(out, ":\"Unable to write I2C PSU (0x20), Reg(0x01)\"\n"));
    board.inject(refuse_select(0, 0x20, 0, 1));
    out = capture_stdout([&] { EXPECT_EQ(qelt_psu_intr_detect(table.data()), 1); });
    EXPECT_TRUE(has(out, ":\"Unable to setup I2C device for slice 2\"\n"));

    // Slice 2's monitor cannot be read: slice 7 is not visited.
    set_current(7, "vdd", "0.8");
    table[2].psu_alert = 1;
    board.inject(nack(0, 0x40, qsim::op_read, 0, 1));
    board.clear_trace();
    out = parse(1);
    EXPECT_TRUE(has(out, "Error : qelt_intr_parse("));
    EXPECT_TRUE(has(out, ":\"Unable to read I2C (0x40), Reg(0x0f)\"\n"));
    EXPECT_FALSE(has(out, "System Interrupt"));
    EXPECT_EQ(transfers_to(board, qsim::device_kind::monitor, 7), 0u) << "later slice visited";
    board.inject(nack(0, 0x40, qsim::op_write, 0, 1));
    EXPECT_TRUE(has(parse(1), ":\"Unable to write I2C (0x40), Reg(0x0f)\"\n"));
}

TEST_F(Alerts, UnreadableLimitStillReportsTheAlert)
{
    set_current(7, "vdd", "0.8");
    ASSERT_EQ(qelt_detect_intr(table.data()), 0);
    // The mask read and the six readings go through; the limit read fails.
    board.inject(nack(0, 0x40, qsim::op_read, 7, 1));
    const std::string out = parse();
    EXPECT_TRUE(has(out, "Error : qelt_psu_wa_readback("));
    EXPECT_TRUE(has(out, ":\"Unable to read I2C (0x40), Reg(0x08)\"\n"));
    EXPECT_TRUE(has(
        out, "System Interrupt :\"PSU Alert : slice 7 : VDD current 0.80 A is above threshold 0.00 A\"\n"));
}

} // namespace
