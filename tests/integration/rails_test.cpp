// Slice rails: the expander's rail enables and VDD code, the VDCDC
// regulator and the window that keeps the VDD rails together.
#include "bus_checks.h"

namespace {

using namespace qelt_test;

constexpr std::uint8_t expander = 0x20;
constexpr std::uint8_t regulator = 0x74;

class Rails : public board_test<2, 3, 5> {
  protected:
    qsim::expander &io(int slice) { return board.state().slices[slice].io; }
    std::vector<bytes> expander_writes() { return writes_to(board, 0, expander); }

    int vdd_set(std::uint8_t slice, float volts)
    {
        table[slice].vdd_voltage = volts;
        return qelt_vdd_set(table.data(), slice);
    }
};

TEST_F(Rails, SwitchesRewriteThePortFromTheRecord)
{
    table[2].vdd_on = 1;
    table[2].v3p3_on = 1;
    EXPECT_EQ(qelt_v5p0_enable(table.data(), 2, 1), 0);
    EXPECT_EQ(table[2].v5p0_on, 1);
    EXPECT_EQ(expander_writes(), (std::vector<bytes>{{0x03, 0x17}}));
    // Only bit 0 of the request counts: 2 switches off.
    EXPECT_EQ(qelt_v3p3_enable(table.data(), 2, 2), 0);
    EXPECT_EQ(io(2).reg[3], 0x13);
    EXPECT_EQ(table[2].v3p3_on, 0);
    // With the last rail off the "any rail" bit drops too.
    EXPECT_EQ(qelt_v5p0_enable(table.data(), 2, 0) + qelt_vdd_enable(table.data(), 2, 0, 0), 0);
    EXPECT_EQ(io(2).reg[3], 0x00);
    EXPECT_EQ(io(3).reg[3], 0xFF) << "another slot's expander was written";

    // The rail went on but its code was refused: the record still says off.
    board.inject(nack(0, expander, qsim::op_write, 1, 1));
    EXPECT_EQ(qelt_vdd_enable(table.data(), 2, 1, 0xED), 1);
    EXPECT_EQ(table[2].vdd_on, 0);

    // The VDD code register is written only for a code other than 0.
    board.clear_trace();
    EXPECT_EQ(qelt_vdd_enable(table.data(), 2, 1, 0), 0);
    EXPECT_EQ(qelt_vdd_enable(table.data(), 2, 1, 0xED), 0);
    EXPECT_EQ(expander_writes(), (std::vector<bytes>{{0x03, 0x11}, {0x03, 0x11}, {0x06, 0xED}}));

    // An absent slot gets every rail off, but the request is recorded.
    table[4].v3p3_on = 1;
    EXPECT_EQ(qelt_v5p0_enable(table.data(), 4, 1), 0);
    EXPECT_EQ(io(4).reg[3], 0x00);
    EXPECT_EQ(table[4].v5p0_on, 1);
}

// With no other VDD rail on, the regulator follows every set point, down
// as well as up. At the top of the range the complemented code is 0, and
// it must still be written.
TEST_F(Rails, VddSetWritesTheComplementedCode)
{
    const std::tuple<float, std::uint8_t, float> cases[] = {
        {3.3f, 0xED, 3.3f},   {1.5f, 0xFE, 1.5f},   {7.8f, 0xBF, 7.8f}, // lower range, 0.1 V steps from 1.4 V
        {14.0f, 0x81, 14.0f}, {14.1f, 0x40, 14.1f}, {1.0f, 0xFF, 1.4f}, {25.0f, 0x00, 20.5f}};
    table[3].v3p3_on = 1;
    for (const auto &[request, code, stored] : cases) {
        SCOPED_TRACE(request);
        io(3).reg[6] = 0x5A; // what an earlier set point left
        board.clear_trace();
        ASSERT_EQ(vdd_set(3, request), 0);
        EXPECT_EQ(expander_writes(), (std::vector<bytes>{{0x03, 0x14}, {0x03, 0x15}, {0x06, code}}));
        EXPECT_EQ(table[3].vdd_on, 1);
        EXPECT_EQ(table[3].vdd_voltage, stored);
        EXPECT_EQ(table[8].vdcdc_voltage, static_cast<float>(static_cast<double>(stored) + 0.4));
    }
}

// The regulator's programming sequence, with its reference code, all before
// the rail is switched.
TEST_F(Rails, RegulatorIsProgrammedBeforeTheRailIsSwitched)
{
    ASSERT_EQ(vdd_set(3, 5.0f), 0);
    std::vector<std::pair<std::uint8_t, bytes>> order;
    for (const auto &m : i2c_messages(board, 0))
        if (m.write && (m.addr == regulator || m.addr == expander))
            order.emplace_back(m.addr, m.data);
    const std::vector<std::pair<std::uint8_t, bytes>> expected{
        {regulator, {0x06, 0x32}}, {regulator, {0x00, 0xE4}}, {regulator, {0x01, 0x00}},
        {regulator, {0x06, 0xB2}}, {regulator, {0x02, 0xFC}}, {regulator, {0x05, 0xE1}},
        {expander, {0x03, 0x00}},  {expander, {0x03, 0x11}},  {expander, {0x06, 0xDB}},
    };
    EXPECT_EQ(order, expected);
    // Beyond 16 bits the regulator gets the low 16; below the code's offset
    // 0, not a code wrapped round.
    for (const auto &[volts, code] : {std::pair{20.5f, 0x03EC}, {2000.0f, 0x8727}, {-1.0f, 0}}) {
        EXPECT_EQ(qelt_setup_vdcdc(volts), 0);
        const std::uint8_t *reg = board.state().regulator.reg;
        EXPECT_EQ(reg[1] << 8 | reg[0], code) << volts;
    }
}

// Every VDD rail that is on stays within 3 V of every other; inside that
// window the regulator moves only for a new highest rail.
TEST_F(Rails, VddRailsThatAreOnStayWithinThreeVolts)
{
    // Slice 5's VDD rail (0: off) beside slice 2's at 5 V, the request for
    // slice 3, the result and whether the regulator moves.
    const std::tuple<float, float, int, bool> cases[] = {
        {0, 8.5f, 300, false}, {0, 8.0f, 0, false},      // at the edge the regulator covers it
        {0, 7.0f, 0, true},    {0, 5.0f, 0, false},      // level with the highest
        {0, 4.0f, 0, false},   {2.9f, 6.0f, 300, false}, // too far above the lowest
        {2.9f, 5.5f, 0, true}, {4.0f, 1.5f, 300, false}, // too far below the highest
        {4.0f, 2.0f, 0, false}};
    table[2].vdd_on = 1;
    table[2].vdd_voltage = 5.0f;
    for (const auto &[slice5, request, result, moves] : cases) {
        SCOPED_TRACE(::testing::Message() << slice5 << " " << request);
        table[5].vdd_on = slice5 != 0;
        table[5].vdd_voltage = slice5;
        table[3].vdd_on = 0;
        table[8].vdcdc_voltage = 9.9f;
        board.clear_trace();
        EXPECT_EQ(vdd_set(3, request), result);
        EXPECT_EQ(writes_to(board, 0, regulator).size(), moves ? 6u : 0u);
        EXPECT_EQ(table[8].vdcdc_voltage, moves ? static_cast<float>(request + 0.4) : 9.9f);
        EXPECT_EQ(table[3].vdd_on, result == 0 ? 1 : 0);
        EXPECT_TRUE(result == 0 || untouched(board));
    }
}

} // namespace
