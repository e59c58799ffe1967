// Rail monitors: readings of the slices' and the SOM's INA3221, and the
// alert limits programmed from the threshold tables.
#include "bus_checks.h"

#include <qelt/qelt.h>

#include <algorithm>
#include <iterator>

namespace {

using namespace qelt_test;

constexpr std::uint8_t monitor = 0x40;

class Monitors : public ::testing::Test {
  protected:
    void SetUp() override
    {
        qelt_log_level = 3;
        table[4].present = 1;
        std::copy(std::begin(ina3221_wa_levels), std::end(ina3221_wa_levels), saved_wa);
        std::copy(std::begin(ina3221_ca_levels), std::end(ina3221_ca_levels), saved_ca);
    }
    void TearDown() override
    {
        qelt_log_level = 0;
        std::copy(std::begin(saved_wa), std::end(saved_wa), ina3221_wa_levels);
        std::copy(std::begin(saved_ca), std::end(saved_ca), ina3221_ca_levels);
    }

    qsim::monitor &slice_monitor(int slice) { return board.state().slices[slice].rails; }
    std::vector<bytes> monitor_writes() { return writes_to(board, 0, monitor); }

    sim_board board{4};
    std::vector<qelt_slice> table = std::vector<qelt_slice>(9);
    float saved_wa[27];
    float saved_ca[27];
};

TEST_F(Monitors, ReadingsAreScaledFromUnsignedRegisters)
{
    qsim::monitor &m = slice_monitor(4);
    m.reg[1] = 0x1B58; // 7000: 0.7 A on a 50 mOhm shunt
    m.reg[2] = 0x2710; // 10000: 10 V
    m.reg[3] = 0xFFF8; // a small negative shunt voltage, read as a large current
    m.reg[4] = 0x0338;
    m.reg[5] = 0x1B58; // the same code on the 25 mOhm shunt: twice the current
    m.reg[6] = 0x04E0;
    const std::string out = capture_stdout([&] { EXPECT_EQ(qelt_read_psu(table.data(), 4), 0); });

    const float *psu = table[4].psu;
    EXPECT_FLOAT_EQ(psu[0], 0.7f);
    EXPECT_FLOAT_EQ(psu[1], 10.0f);
    EXPECT_FLOAT_EQ(psu[2], 6.5528f);
    EXPECT_FLOAT_EQ(psu[3], 0.824f);
    EXPECT_FLOAT_EQ(psu[4], 1.4f);
    EXPECT_FLOAT_EQ(psu[5], 1.248f);

    EXPECT_NE(out.find(":\"Read PSU V/I values for Slice 4\\n\"\n"), std::string::npos);
    EXPECT_NE(out.find(":\"PSU VDD I = 0.70 A\"\n"), std::string::npos);
    EXPECT_NE(out.find(":\"PSU V = 10.00 V\"\n"), std::string::npos);
    EXPECT_NE(out.find(":\"PSU V3.0 I = 6.55 A\"\n"), std::string::npos);
    EXPECT_NE(out.find(":\"PSU V5.0 I = 1.40 A\"\n"), std::string::npos);

    // Registers 1..6 in turn, each a pointer write and a 2-byte read; a
    // slice monitor's configuration is left alone.
    const auto msgs = i2c_messages(board, 0, monitor);
    ASSERT_EQ(msgs.size(), 12u);
    for (std::uint8_t reg = 1; reg <= 6; ++reg) {
        EXPECT_EQ(msgs[2 * (reg - 1)].data, bytes{reg});
        EXPECT_FALSE(msgs[2 * reg - 1].write);
        EXPECT_EQ(msgs[2 * reg - 1].data.size(), 2u);
    }
    EXPECT_EQ(m.reg[0], 0x7127);
    EXPECT_TRUE(released(board));
}

TEST_F(Monitors, ReadingFailurePartWayKeepsTheEarlierReadings)
{
    struct {
        qsim::fault fault;
        const char *message;
    } const cases[] = {
        {nack(0, monitor, qsim::op_read, 2), "\"Unable to read I2C (0x40), Reg(0x03)\""},
        {nack(0, monitor, qsim::op_write, 2), "\"Unable to write I2C (0x40), Reg(0x03)\""},
    };
    for (const auto &c : cases) {
        sim_board fresh{4};
        fresh.state().slices[4].rails.reg[1] = 0x1B58;
        fresh.inject(c.fault);
        std::fill(std::begin(table[4].psu), std::end(table[4].psu), -1.0f);
        const std::string out = capture_stdout([&] { EXPECT_EQ(qelt_read_psu(table.data(), 4), 1); });
        EXPECT_NE(out.find(c.message), std::string::npos) << out;
        EXPECT_FLOAT_EQ(table[4].psu[0], 0.7f);
        EXPECT_EQ(table[4].psu[1], 0.0f);
        EXPECT_EQ(table[4].psu[2], -1.0f);
        EXPECT_EQ(table[4].psu[5], -1.0f);
        EXPECT_TRUE(released(fresh));
    }
}

TEST_F(Monitors, SliceFailureRows)
{
    struct {
        qsim::fault fault;
        bool configure; // qelt_cfg_slice_psu, else qelt_read_psu
        const char *message;
    } const cases[] = {
        {refuse_select(0, 0x76), false, "\"Unable to open MUX I2C for slice 4\""},
        {refuse_select(0, monitor), false, "\"Unable to setup I2C device for slice 4\""},
        {nack(0, 0x76, qsim::op_read), true, "\"Unable to open MUX I2C for slice 4\""},
        {refuse_select(0, monitor), true, "\"Unable to setup I2C device for slice 4\""},
        {nack(0, monitor, qsim::op_write), true, "\"Unable to write I2C (0x40), Reg(0x00)\""},
    };
    for (const auto &c : cases) {
        sim_board fresh{4};
        fresh.inject(c.fault);
        const std::string out = capture_stdout([&] {
            EXPECT_EQ(c.configure ? qelt_cfg_slice_psu(table.data(), 4) : qelt_read_psu(table.data(), 4), 1);
        });
        EXPECT_NE(out.find(c.message), std::string::npos) << out;
        EXPECT_TRUE(released(fresh));
    }
}

TEST_F(Monitors, AbsentSliceIsNotRead)
{
    const std::string out = capture_stdout([&] {
        EXPECT_EQ(qelt_read_psu(table.data(), 3), 1);
        EXPECT_EQ(qelt_cfg_slice_psu(table.data(), 3), 1);
    });
    EXPECT_NE(out.find("INFO : qelt_read_psu("), std::string::npos);
    EXPECT_NE(out.find("INFO : qelt_cfg_slice_psu("), std::string::npos);
    EXPECT_NE(out.find(":\"Slice 3 not found!\"\n"), std::string::npos);
    EXPECT_TRUE(untouched(board));
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
        const std::string out = capture_stdout([&] { EXPECT_EQ(qelt_read_som_psu(&som), 0); });
        EXPECT_EQ(m.reg[0], 0x7327);
        const auto writes = monitor_writes();
        ASSERT_EQ(writes.size(), 7u);
        EXPECT_EQ(writes[0], (bytes{0x00, 0x73, 0x27}));
        EXPECT_EQ(writes[1], bytes{0x01});
        EXPECT_NE(out.find(":\"Read PSU V/I values for SOM \\n\"\n"), std::string::npos);
        EXPECT_EQ(board.state().mux[0].control, 0x20);
        EXPECT_TRUE(released(board));
    }
    EXPECT_FLOAT_EQ(som.psu[0], 0.7f);
    EXPECT_FLOAT_EQ(som.psu[1], 5.0f);
}

TEST_F(Monitors, SomFailureRows)
{
    struct {
        qsim::fault fault;
        const char *message;
    } const cases[] = {
        {nack(0, 0x76, qsim::op_read), "\"Unable to setup mux enable for channel 9\""},
        {refuse_select(0, monitor), "\"Unable to setup I2C device for Addr: 0x40\""},
        {nack(0, monitor, qsim::op_write), "\"Unable to write I2C (0x40), Reg(0x00)\""},
        {nack(0, monitor, qsim::op_read, 5), "\"Unable to read I2C (0x40), Reg(0x06)\""},
    };
    for (const auto &c : cases) {
        sim_board fresh;
        fresh.inject(c.fault);
        qelt_som som{};
        const std::string out = capture_stdout([&] { EXPECT_EQ(qelt_read_som_psu(&som), 1); });
        EXPECT_NE(out.find(c.message), std::string::npos) << out;
        EXPECT_TRUE(released(fresh));
    }
}

TEST_F(Monitors, NullSomRecordStopsTheProcess) { EXPECT_DEATH(qelt_read_som_psu(nullptr), "som != NULL"); }

TEST_F(Monitors, LimitsAreWrittenWarningFirst)
{
    const std::string out = capture_stdout([&] { EXPECT_EQ(qelt_cfg_slice_psu(table.data(), 4), 0); });
    const std::vector<bytes> expected{
        {0x00, 0x73, 0x27}, {0x08, 0x1B, 0x58}, {0x0A, 0x00, 0x50}, {0x0C, 0x09, 0xC4},
        {0x07, 0x1B, 0x58}, {0x09, 0x00, 0x50}, {0x0B, 0x09, 0xC4},
    };
    EXPECT_EQ(monitor_writes(), expected);
    EXPECT_EQ(slice_monitor(4).reg[0x0C], 0x09C4);
    EXPECT_EQ(slice_monitor(4).reg[0x09], 0x0050);
    for (const char *line : {"\"ch1WarnThres = 7000\"", "\"ch2WarnThres = 80\"", "\"ch3WarnThres = 2500\"",
                             "\"ch1CritThres = 7000\"", "\"ch2CritThres = 80\"", "\"ch3CritThres = 2500\"",
                             "\"Writing thresholds\""})
        EXPECT_NE(out.find(line), std::string::npos) << line;

    // The server changes one slice's entries before it programs that slice.
    ina3221_wa_levels[4] = 350.0f;
    ina3221_ca_levels[18 + 4] = 1000.0f;
    board.clear_trace();
    EXPECT_EQ(qelt_cfg_slice_psu(table.data(), 4), 0);
    EXPECT_EQ(slice_monitor(4).reg[0x08], 3500);
    EXPECT_EQ(slice_monitor(4).reg[0x0B], 5000);
}

TEST_F(Monitors, AZeroLimitLeavesEveryLimitAsItWas)
{
    // 0.05 mA truncates to 0; 6553.6 mA gives 65536, whose low 16 bits are 0.
    const struct {
        float *entry;
        float value;
    } cases[] = {{&ina3221_wa_levels[9 + 4], 0.05f}, {&ina3221_ca_levels[4], 6553.6f}};
    for (const auto &c : cases) {
        sim_board fresh{4};
        const float saved = *c.entry;
        *c.entry = c.value;
        EXPECT_EQ(qelt_cfg_slice_psu(table.data(), 4), 0);
        *c.entry = saved;
        EXPECT_EQ(writes_to(fresh, 0, monitor), (std::vector<bytes>{{0x00, 0x73, 0x27}}));
        EXPECT_EQ(fresh.state().slices[4].rails.reg[0x08], 0x7FF8);
        EXPECT_TRUE(released(fresh));
    }
}

TEST_F(Monitors, LimitWriteFailureStopsTheSequence)
{
    board.inject(nack(0, monitor, qsim::op_write, 3));
    const std::string out = capture_stdout([&] { EXPECT_EQ(qelt_cfg_slice_psu(table.data(), 4), 1); });
    EXPECT_NE(out.find("\"Unable to write I2C (0x40), Reg(0x0c)\""), std::string::npos);
    EXPECT_EQ(monitor_writes().size(), 4u);
    EXPECT_EQ(slice_monitor(4).reg[0x07], 0x7FF8);
    EXPECT_TRUE(released(board));
}

} // namespace
