// What the library reads from the board: the rail monitors' readings,
// limits and alerts up to the alert lines (slice 8, the last the polls
// visit, carries most alerts), the slice temperature sensors and the SOM's
// configuration EEPROM.
#include "bus_checks.h"

namespace {

using namespace qelt_test;

constexpr std::uint8_t monitor = 0x40;

using Monitors = board_test<4>;

TEST_F(Monitors, ReadingsAreScaledFromUnsignedRegisters)
{
    qsim::monitor &m = board.state().slices[4].rails;
    m.reg[1] = 0x1B58; // 7000: 0.7 A on a 50 mOhm shunt
    m.reg[2] = 0x2710; // 10000: 10 V
    m.reg[3] = 0xFFF8; // a small negative shunt voltage, read as a large current
    m.reg[4] = 0x0338;
    m.reg[5] = 0x1B58; // the same code on the 25 mOhm shunt: twice the current
    m.reg[6] = 0x8000; // unsigned: 32.768 V
    EXPECT_EQ(qelt_read_psu(table.data(), 4), 0);
    const float expected[] = {0.7f, 10.0f, 6.5528f, 0.824f, 1.4f, 32.768f};
    for (int i = 0; i < 6; ++i)
        EXPECT_FLOAT_EQ(table[4].psu[i], expected[i]) << i;
    // Registers 1..6 in turn; a slice monitor's configuration is left alone.
    EXPECT_EQ(writes_to(board, 0, monitor), (std::vector<bytes>{{1}, {2}, {3}, {4}, {5}, {6}}));
}

// A failure stops the sequence at once; readings taken before it are
// stored, the others left as they were.
TEST_F(Monitors, FailuresStopTheSequenceAndKeepEarlierReadings)
{
    // Configuring or reading, the fault, the writes made, the readings stored.
    for (const auto &[configure, fault, writes, stored] :
         {std::tuple{false, nack(0, monitor, qsim::op_read, 2), 3u, 2},
          {true, nack(0, monitor, qsim::op_write, 3), 4u, 0}}) {
        sim_board fresh{4};
        fresh.inject(fault);
        std::fill(std::begin(table[4].psu), std::end(table[4].psu), -1.0f);
        EXPECT_EQ(configure ? qelt_cfg_slice_psu(table.data(), 4) : qelt_read_psu(table.data(), 4), 1);
        EXPECT_EQ(writes_to(fresh, 0, monitor).size(), writes);
        for (int i = 0; i < 6; ++i)
            EXPECT_EQ(table[4].psu[i] != -1.0f, i < stored) << i;
    }
}

TEST_F(Monitors, SomMonitorIsConfiguredBeforeEveryReading)
{
    qsim::monitor &m = board.state().som_monitor;
    m.reg[1] = 0x1B58;
    m.reg[2] = 0x1388; // 5000: 5.0 V
    qelt_som som{};
    for (int pass = 0; pass < 2; ++pass) {
        m.reg[0] = 0x1234;
        board.clear_trace();
        EXPECT_EQ(qelt_read_som_psu(&som), 0);
        EXPECT_EQ(writes_to(board, 0, monitor),
                  (std::vector<bytes>{{0x00, 0x73, 0x27}, {1}, {2}, {3}, {4}, {5}, {6}}));
        EXPECT_EQ(board.state().mux[0].control, 0x20);
    }
    EXPECT_FLOAT_EQ(som.psu[0], 0.7f);
    EXPECT_FLOAT_EQ(som.psu[1], 5.0f);
}

TEST_F(Monitors, LimitsAreWrittenWarningFirst)
{
    EXPECT_EQ(qelt_cfg_slice_psu(table.data(), 4), 0);
    const std::vector<bytes> expected{
        {0x00, 0x73, 0x27}, {0x08, 0x1B, 0x58}, {0x0A, 0x00, 0x50}, {0x0C, 0x09, 0xC4},
        {0x07, 0x1B, 0x58}, {0x09, 0x00, 0x50}, {0x0B, 0x09, 0xC4},
    };
    EXPECT_EQ(writes_to(board, 0, monitor), expected);

    // The server changes one slice's entries before it programs that slice.
    const float warning = ina3221_wa_levels[4], critical = ina3221_ca_levels[18 + 4];
    ina3221_wa_levels[4] = 350.0f;
    ina3221_ca_levels[18 + 4] = 1e12f; // saturates rather than wraps
    EXPECT_EQ(qelt_cfg_slice_psu(table.data(), 4), 0);
    ina3221_wa_levels[4] = warning;
    ina3221_ca_levels[18 + 4] = critical;
    EXPECT_EQ(board.state().slices[4].rails.reg[0x08], 3500);
    EXPECT_EQ(board.state().slices[4].rails.reg[0x0B], 0xFFFF);

    // A limit whose code is 0 (0.05 mA truncated; 6553.6 mA, whose low 16
    // bits are 0; negative; undefined) leaves every limit as it was.
    for (const auto &[entry, value] :
         {std::pair{&ina3221_wa_levels[9 + 4], 0.05f}, std::pair{&ina3221_ca_levels[4], 6553.6f},
          std::pair{&ina3221_wa_levels[4], -3.0f}, std::pair{&ina3221_ca_levels[18 + 4], NAN}}) {
        sim_board fresh{4};
        const float saved = *entry;
        *entry = value;
        EXPECT_EQ(qelt_cfg_slice_psu(table.data(), 4), 0);
        *entry = saved;
        EXPECT_EQ(writes_to(fresh, 0, monitor), (std::vector<bytes>{{0x00, 0x73, 0x27}}));
    }
}

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

constexpr std::uint64_t slice_select = 0xA0070000;
constexpr std::uint8_t sensor = 0x48;
constexpr std::uint8_t som_eeprom = 0x50;

using BoardQueries = board_test<5, 6, 8>;

TEST_F(BoardQueries, TemperatureOneShotHandshakeAndConversion)
{
    EXPECT_EQ(qelt_board_temperature(table.data(), 5), 0);
    EXPECT_EQ(table[5].temperature, 25.0f);
    EXPECT_EQ(board.reg(slice_select), 0x20u);
    // Start, poll the configuration until it reads 0x2C (the sensor takes
    // two reads), then point at the result and read it.
    EXPECT_EQ(writes_to(board, 1, sensor), (std::vector<bytes>{{0x01, 0x0C, 0x20}, {0x00}}));
    EXPECT_EQ(i2c_messages(board, 1, sensor).size(), 2u + 4u);
    EXPECT_TRUE(i2c_messages(board, 0).empty()) << "the base-board bus was used";

    // The result is signed, in steps of 1/128 degree.
    for (const auto &[raw, celsius] :
         {std::pair{0xFF80, -1.0f}, {0x7FFF, 32767.0f / 128.0f}, {0x8000, -256.0f}}) {
        board.state().slices[8].sensor.reg[0] = static_cast<std::uint16_t>(raw);
        EXPECT_EQ(qelt_board_temperature(table.data(), 8), 0);
        EXPECT_EQ(table[8].temperature, celsius) << raw;
    }

    // A sensor that never reports completion is given up on after 99 polls,
    // and its result taken all the same.
    board.state().slices[5].sensor.conversion_reads = 0xFFFF;
    board.state().slices[5].sensor.reg[0] = 0x0D00;
    board.clear_trace();
    EXPECT_EQ(qelt_board_temperature(table.data(), 5), 0);
    EXPECT_EQ(i2c_messages(board, 1, sensor).size(), 2u + 99u + 1u); // and the two writes
    EXPECT_EQ(table[5].temperature, 26.0f);
    // A refused poll does not count as completion, nor as a failure.
    sim_board fresh{5};
    fresh.inject(nack(1, sensor, qsim::op_read, 0, 2));
    EXPECT_EQ(qelt_board_temperature(table.data(), 5), 0);
    EXPECT_EQ(table[5].temperature, 25.0f);
}

TEST_F(BoardQueries, SomConfigFieldsAreReadInOrderUntilAFailure)
{
    // What the fields hold is shown by the board control tool's test.
    std::uint8_t *mem = board.state().som_eeprom.mem;
    mem[0x0B] = 0x10; // date
    mem[0x44] = 'R';  // revision
    qelt_som som{};
    EXPECT_EQ(qelt_som_config_read(&som), 0);
    // One field at a time from its two-byte address; the multiplexer is not touched.
    EXPECT_EQ(writes_to(board, 0, som_eeprom),
              (std::vector<bytes>{{0x00, 0x0B}, {0x00, 0x44}, {0x00, 0x27}, {0x00, 0x16}, {0x00, 0x83}}));
    EXPECT_EQ(i2c_messages(board, 0).size(), 10u);

    // A failure stops the sequence; the fields read before it are kept:
    // the date and the revision, or the date alone.
    for (const auto &[fault, revision_read] : {std::pair{nack(0, som_eeprom, qsim::op_write, 2), true},
                                               {nack(0, som_eeprom, qsim::op_read, 1), false}}) {
        board.state().faults[0] = fault;
        std::memset(&som, 0xEE, sizeof som);
        EXPECT_EQ(qelt_som_config_read(&som), 1);
        EXPECT_EQ(som.date[0], 0x10);
        EXPECT_EQ(static_cast<std::uint8_t>(som.revision[0]), revision_read ? 'R' : 0xEE);
        EXPECT_EQ(static_cast<std::uint8_t>(som.serial[0]), 0xEE);
    }
}

} // namespace
