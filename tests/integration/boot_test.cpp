// The boot pass on a board with a mix of fitted slots: detection on the
// expanders, the set-up of new slices, the switch-off of empty positions,
// and what later passes leave alone.
#include "bus_checks.h"

namespace {

using namespace qelt_test;

bool fitted(int s) { return s == 1 || s == 5 || s == 7; }

// Transfers that reached one slot's device, in order, as "W 02 00" or "R bf".
std::vector<std::string> to_slot(sim_board &board, qsim::device_kind who, int slice)
{
    std::vector<std::string> out;
    for (const auto &e : board.trace()) {
        const bool write = e.kind == qsim::trace_kind::i2c_write;
        if ((write || e.kind == qsim::trace_kind::i2c_read) && e.device == who && e.slice == slice) {
            std::ostringstream text;
            text << (write ? 'W' : 'R') << std::hex << std::setfill('0');
            for (std::size_t i = 0; i < e.len && i < sizeof e.data; ++i)
                text << ' ' << std::setw(2) << static_cast<int>(e.data[i]);
            out.push_back(text.str());
        }
    }
    return out;
}

// Detection on one slot: port directions, both input ports, then the
// three rail writes of a set-up or a switch-off when `rails` is given.
std::vector<std::string> detection(const std::string &port1, const std::string &rails = "")
{
    std::vector<std::string> out = {"W 02 00", "W 07 c0", "W 00", "R ff", "W 01", "R " + port1};
    if (!rails.empty())
        out.insert(out.end(), 3, "W 03 " + rails);
    return out;
}

class Boot : public ::testing::Test {
  protected:
    void SetUp() override
    {
        qelt_log_level = 0;
        // -1 degree on slice 7's sensor; slice 1 has none to read.
        board.state().slices[7].sensor.reg[0] = static_cast<std::uint16_t>(-128);
        table[1].temperature = 99.0f;
    }

    std::string boot() { return printed(0, qelt_init_boot, table.data()); }

    // The record's flags and rail switches and the expander's rail port.
    std::vector<int> rails(int s)
    {
        const qelt_slice &r = table[s];
        return {r.present, r.initialised, r.v3p3_on, r.v5p0_on, r.vdd_on, board.state().slices[s].io.reg[3]};
    }

    // Attenuators at maximum, 3.3 V alone on, the critical and warning
    // limits of each channel programmed.
    void expect_set_up(int s)
    {
        SCOPED_TRACE(s);
        const qelt_slice &r = table[s];
        const std::uint16_t *limits = board.state().slices[s].rails.reg + 7;
        EXPECT_EQ(rails(s), std::vector<int>({1, 1, 1, 0, 0, 0x14}));
        EXPECT_EQ(std::count(&r.dsa_value[0][0], &r.dsa_value[0][0] + 8, 31.75f), 8);
        EXPECT_EQ(std::count(&r.dsa_step[0][0], &r.dsa_step[0][0] + 8, 0.25f), 8);
        EXPECT_EQ(std::vector<int>(limits, limits + 6), std::vector<int>({7000, 7000, 80, 80, 2500, 2500}));
    }

    sim_board board{1, 5, 7};
    std::vector<qelt_slice> table = std::vector<qelt_slice>(QELT_SLICE_COUNT);
};

TEST_F(Boot, FirstPassDetectsAndSetsUpEveryPosition)
{
    // Stale rail states of an empty position do not keep its rails on.
    table[3].v5p0_on = table[3].vdd_on = table[3].initialised = 1;
    boot();
    for (int s = 0; s < QELT_SLICE_COUNT; ++s) {
        SCOPED_TRACE(s);
        // 3.3 V on, 5.0 V and VDD off for a new slice; all off for an empty
        // position, which gets no limits.
        if (fitted(s)) {
            EXPECT_EQ(to_slot(board, qsim::device_kind::expander, s), detection("bf", "14"));
            expect_set_up(s);
        } else {
            EXPECT_EQ(to_slot(board, qsim::device_kind::expander, s), detection("ff", "00"));
            EXPECT_EQ(rails(s), std::vector<int>(6, 0));
            EXPECT_TRUE(to_slot(board, qsim::device_kind::monitor, s).empty());
        }
        EXPECT_TRUE(table[s].eeprom_len == 0 && table[s].eeprom_page_size == 64); // reset by every pass
    }
    // Only slices 5..8 carry a sensor.
    EXPECT_EQ(std::vector<float>({table[1].temperature, table[5].temperature, table[7].temperature}),
              std::vector<float>({99.0f, 25.0f, -1.0f}));
}

TEST_F(Boot, LaterPassesChangeOnlyWhatChangedOnTheBoard)
{
    boot();
    // The operator's settings since the first pass.
    table[5].dsa_value[2][1] = 4.5f;
    table[5].v5p0_on = 1;
    table[1].eeprom_len = 300;
    auto expected = table;
    expected[1].eeprom_len = 0;
    board.clear_trace();
    boot();
    // Detection only for a fitted slice, whose port 1 now reads back the
    // rail outputs: no rail writes, no limits, no temperature. Empty
    // positions are switched off again.
    for (int s = 0; s < QELT_SLICE_COUNT; ++s) {
        SCOPED_TRACE(s);
        EXPECT_EQ(to_slot(board, qsim::device_kind::expander, s),
                  fitted(s) ? detection("94") : detection("c0", "00"));
        EXPECT_TRUE(to_slot(board, qsim::device_kind::monitor, s).empty());
        EXPECT_TRUE(to_slot(board, qsim::device_kind::sensor, s).empty());
        EXPECT_EQ(std::memcmp(&table[s], &expected[s], sizeof table[s]), 0) << "record changed";
    }

    board.set_fitted(5, false);
    board.clear_trace();
    boot();
    EXPECT_EQ(to_slot(board, qsim::device_kind::expander, 5), detection("d4", "00")); // presence pin high
    EXPECT_EQ(rails(5), std::vector<int>(6, 0));
    expect_set_up(7);
    // Fitted again: a new slice, set up from scratch.
    board.set_fitted(5, true);
    boot();
    expect_set_up(5);
}

} // namespace
