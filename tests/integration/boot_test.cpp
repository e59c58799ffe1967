// The boot pass on a board with a mix of fitted slots: detection on the
// expanders, the set-up of new slices, the switch-off of empty positions,
// and what later passes leave alone.
#include "bus_checks.h"

#include <qelt/qelt.h>

#include <cstring>
#include <ostream>
#include <vector>

namespace {

using namespace qelt_test;

constexpr int fitted[] = {1, 5, 7};
constexpr int empty[] = {0, 2, 3, 4, 6, 8};

struct message {
    bool write;
    bytes data;
    bool operator==(const message &) const = default;
};

std::ostream &operator<<(std::ostream &os, const message &m)
{
    os << (m.write ? "W" : "R");
    for (auto b : m.data)
        os << ' ' << std::hex << static_cast<int>(b) << std::dec;
    return os;
}

message W(bytes b) { return {true, std::move(b)}; }
message R(bytes b) { return {false, std::move(b)}; }

// Transfers that reached one slot's device, in order.
std::vector<message> to_slot(sim_board &board, qsim::device_kind who, int slice)
{
    std::vector<message> out;
    for (const auto &e : board.trace())
        if ((e.kind == qsim::trace_kind::i2c_write || e.kind == qsim::trace_kind::i2c_read) &&
            e.device == who && e.slice == slice)
            out.push_back({e.kind == qsim::trace_kind::i2c_write, bytes(e.data, e.data + e.len)});
    return out;
}

bool has(const std::string &out, const std::string &text) { return out.find(text) != std::string::npos; }

class Boot : public ::testing::Test {
  protected:
    void SetUp() override
    {
        qelt_log_level = 0;
        board.state().slices[7].sensor.reg[0] = static_cast<std::uint16_t>(-128); // -1 degree
        for (auto &s : table) {
            s.eeprom_len = 1234;
            s.eeprom_page_size = 7;
            s.temperature = 99.0f;
        }
    }
    void TearDown() override { qelt_log_level = 0; }

    qsim::slice_slot &slot(int s) { return board.state().slices[s]; }

    std::string boot()
    {
        return capture_stdout([&] { EXPECT_EQ(qelt_init_boot(table.data()), 0); });
    }

    void expect_set_up(int s)
    {
        SCOPED_TRACE(s);
        const qelt_slice &r = table[s];
        EXPECT_EQ(r.present, 1);
        EXPECT_EQ(r.initialised, 1);
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(r.dsa_value[i / 2][i % 2], 31.75f);
            EXPECT_EQ(r.dsa_step[i / 2][i % 2], 0.25f);
        }
        EXPECT_EQ(std::vector<int>({r.v3p3_on, r.v5p0_on, r.vdd_on}), std::vector<int>({1, 0, 0}));
        EXPECT_EQ(slot(s).io.reg[3], 0x14) << "3.3 V alone on the rail port";
        EXPECT_EQ(slot(s).io.reg[2], 0x00);
        EXPECT_EQ(slot(s).io.reg[7], 0xC0);
        // Critical and warning limit of each channel.
        EXPECT_EQ(std::vector<int>(slot(s).rails.reg + 7, slot(s).rails.reg + 13),
                  std::vector<int>({7000, 7000, 80, 80, 2500, 2500}));
    }

    void expect_switched_off(int s)
    {
        SCOPED_TRACE(s);
        const qelt_slice &r = table[s];
        EXPECT_EQ(r.present, 0);
        EXPECT_EQ(r.initialised, 0);
        EXPECT_EQ(std::vector<int>({r.v3p3_on, r.v5p0_on, r.vdd_on}), std::vector<int>({0, 0, 0}));
        EXPECT_EQ(slot(s).io.reg[3], 0x00);
    }

    void expect_boot_fields()
    {
        for (const auto &r : table)
            EXPECT_TRUE(r.eeprom_len == 0 && r.eeprom_page_size == 64);
    }

    sim_board board{1, 5, 7};
    std::vector<qelt_slice> table = std::vector<qelt_slice>(QELT_SLICE_COUNT);
};

TEST_F(Boot, FirstPassDetectsAndSetsUpEveryPosition)
{
    // Stale rail states of an empty position do not keep its rails on.
    table[3].v5p0_on = table[3].vdd_on = table[3].initialised = 1;
    qelt_log_level = 3;
    const std::string out = boot();

    for (int s = 0; s < QELT_SLICE_COUNT; ++s) {
        SCOPED_TRACE(s);
        const bool present = table[s].present == 1;
        // Port directions first, then both input ports, then three rail
        // writes: 3.3 V on, 5.0 V and VDD off for a new slice, everything
        // off for an empty position.
        const std::uint8_t port1 = present ? 0xBF : 0xFF;
        const std::uint8_t rails = present ? 0x14 : 0x00;
        EXPECT_EQ(to_slot(board, qsim::device_kind::expander, s),
                  (std::vector<message>{W({0x02, 0x00}), W({0x07, 0xC0}), W({0x00}), R({0xFF}), W({0x01}),
                                        R({port1}), W({0x03, rails}), W({0x03, rails}), W({0x03, rails})}));
        EXPECT_TRUE(has(out, ":\"Slice " + std::to_string(s) +
                                 (present ? " :  Detected" : " :  Not Detected") + "\"\n"));
    }
    for (int s : fitted)
        expect_set_up(s);
    for (int s : empty) {
        expect_switched_off(s);
        EXPECT_TRUE(to_slot(board, qsim::device_kind::monitor, s).empty());
    }
    // Only slices 5..8 carry a sensor.
    EXPECT_EQ(table[1].temperature, 99.0f);
    EXPECT_EQ(table[5].temperature, 25.0f);
    EXPECT_EQ(table[7].temperature, -1.0f);
    expect_boot_fields();

    EXPECT_TRUE(has(out, "INFO : qelt_slice_present("));
    EXPECT_TRUE(has(out, ":\"Readback from TCA9535 CMD IN PORT1 = 0xbf\\n\"\n"));
    EXPECT_TRUE(has(out, "INFO : qelt_init_boot("));
}

TEST_F(Boot, SecondPassOnAnUnchangedBoardChangesNothing)
{
    boot();
    // The operator's settings since the first pass.
    table[5].dsa_value[2][1] = 4.5f;
    table[5].v5p0_on = 1;
    table[1].eeprom_len = 300;
    table[7].eeprom_page_size = 16;
    auto expected = table;
    expected[1].eeprom_len = 0;
    expected[7].eeprom_page_size = 64;

    board.clear_trace();
    qelt_log_level = 2;
    EXPECT_EQ(boot(), "");
    for (int s : fitted) {
        SCOPED_TRACE(s);
        // Detection only: no rail writes, no limits, no temperature.
        EXPECT_EQ(to_slot(board, qsim::device_kind::expander, s).size(), 6u);
        EXPECT_TRUE(to_slot(board, qsim::device_kind::monitor, s).empty());
        EXPECT_TRUE(to_slot(board, qsim::device_kind::sensor, s).empty());
    }
    for (int s : empty)
        EXPECT_EQ(to_slot(board, qsim::device_kind::expander, s).size(), 9u) << s;
    for (int s = 0; s < QELT_SLICE_COUNT; ++s)
        EXPECT_EQ(std::memcmp(&table[s], &expected[s], sizeof table[s]), 0) << "record " << s << " changed";
}

TEST_F(Boot, SliceRemovedAndRefittedBetweenPasses)
{
    boot();
    table[5].vdd_on = 1;
    // Through the control command, as an operator would pull the board.
    const auto r = run_program({QELT_SIM_TOOL, "remove", "5"});
    ASSERT_EQ(r.status, 0) << r.err;
    board.clear_trace();
    boot();
    const auto io = to_slot(board, qsim::device_kind::expander, 5);
    ASSERT_EQ(io.size(), 9u);
    EXPECT_EQ(io[5], R({0xD4})) << "presence pin still low";
    EXPECT_EQ(std::vector<message>(io.begin() + 6, io.end()),
              (std::vector<message>{W({0x03, 0x00}), W({0x03, 0x00}), W({0x03, 0x00})}));
    expect_switched_off(5);
    expect_set_up(7);

    // Fitted again: a new slice, set up from scratch.
    table[5].dsa_value[0][0] = 3.0f;
    board.set_fitted(5, true);
    boot();
    expect_set_up(5);
}

TEST_F(Boot, FailedDetectionKeepsThePreviousAnswer)
{
    boot();
    // Slices 5..8 sit behind the second switch, which now refuses to be
    // addressed. Slice 6 was taken for present before: it stays so, and is
    // not set up again because it is initialised.
    table[6].present = table[6].initialised = 1;
    table[6].dsa_value[1][1] = 2.0f;
    board.inject(refuse_select(0, 0x77));

    qelt_log_level = 1;
    const std::string out = boot();
    for (int s = 5; s <= 8; ++s) {
        EXPECT_TRUE(has(out, ":\"Unable to open MUX I2C for slice " + std::to_string(s) + "\"\n"));
        EXPECT_TRUE(has(out, ":\"Slice Detection Failure for slice " + std::to_string(s) + "\"\n"));
    }
    EXPECT_TRUE(has(out, "Error : qelt_slice_present("));
    EXPECT_FALSE(has(out, "Slice Detection Failure for slice 4"));
    EXPECT_TRUE(table[5].present == 1 && table[5].initialised == 1);
    EXPECT_TRUE(table[6].present == 1 && table[6].dsa_value[1][1] == 2.0f);
    EXPECT_EQ(table[8].present, 0);
    expect_boot_fields();
}

TEST_F(Boot, ExpanderFailuresAreReportedPerStep)
{
    // Slice 0 is the first detected: its writes and reads fail one by one.
    struct {
        std::uint8_t ops;
        int skip;
        const char *message;
    } const cases[] = {
        {qsim::op_write, 0, "\"Unable to write I2C PSU(0x20), Reg(0x02)\""},
        {qsim::op_write, 1, "\"Unable to write I2C PSU(0x20), Reg(0x07)\""},
        {qsim::op_write, 3, "\"Unable to write I2C PSU(0x20), Reg(0x01)\""},
        {qsim::op_read, 0, "\"Unable to read I2C PSU(0x20), Reg(0x00)\""},
        {qsim::op_read, 1, "\"Unable to read I2C PSU(0x20), Reg(0x01)\""},
    };
    qelt_log_level = 1;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        table[0].present = table[0].initialised = 1; // as an earlier pass left it
        board.inject(nack(0, 0x20, c.ops, c.skip, 1));
        const std::string out = boot();
        EXPECT_TRUE(has(out, "Error : qelt_slice_present("));
        EXPECT_TRUE(has(out, c.message)) << out;
        EXPECT_TRUE(has(out, ":\"Slice Detection Failure for slice 0\"\n"));
        EXPECT_EQ(table[0].present, 1);
    }
}

TEST(PowerDetect, StoresTheValueInOneEntryOnly)
{
    std::vector<qelt_slice> table(QELT_SLICE_COUNT + 1);
    const std::vector<qelt_slice> before = table;
    EXPECT_EQ(qelt_power_detect(table.data(), 4, 2), 0);
    EXPECT_EQ(table[4].power_detect[2], 10.25f);
    table[4].power_detect[2] = 0.0f;
    // Out of range: refused, nothing written anywhere.
    qelt_log_level = 1;
    const std::string out = capture_stdout([&] {
        EXPECT_EQ(qelt_power_detect(table.data(), 4, 4), 1);
        EXPECT_EQ(qelt_power_detect(table.data(), 3, 255), 1);
        EXPECT_EQ(qelt_power_detect(table.data(), 9, 0), 1);
    });
    qelt_log_level = 0;
    EXPECT_TRUE(has(out, "Error : qelt_power_detect("));
    for (std::size_t s = 0; s < table.size(); ++s)
        EXPECT_EQ(std::memcmp(&table[s], &before[s], sizeof table[s]), 0) << s;
}

} // namespace
