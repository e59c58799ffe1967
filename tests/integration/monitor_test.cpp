// Rail monitors: readings of the slices' and the SOM's INA3221, and the
// alert limits programmed from the threshold tables.
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

} // namespace
