// Slice rails: the expander's rail enables and VDD code, the VDCDC
// regulator and the window that keeps the VDD rails together.
#include "bus_checks.h"

#include <qelt/qelt.h>

#include <cmath>
#include <cstdio>
#include <tuple>

namespace {

using namespace qelt_test;

constexpr std::uint8_t expander = 0x20;
constexpr std::uint8_t regulator = 0x74;

class Rails : public logged_test {
  protected:
    void SetUp() override
    {
        logged_test::SetUp();
        for (int s : {2, 3, 5})
            table[s].present = 1;
    }

    qsim::expander &io(int slice) { return board.state().slices[slice].io; }
    std::vector<bytes> expander_writes() { return writes_to(board, 0, expander); }
    int regulator_code() { return board.state().regulator.reg[1] << 8 | board.state().regulator.reg[0]; }

    int vdd_set(std::uint8_t slice, float volts)
    {
        table[slice].vdd_voltage = volts;
        return qelt_vdd_set(table.data(), slice);
    }

    sim_board board{2, 3, 5};
    std::vector<qelt_slice> table = std::vector<qelt_slice>(9);
};

TEST_F(Rails, SwitchesRewriteThePortFromTheRecord)
{
    table[2].vdd_on = 1;
    table[2].v3p3_on = 1;
    std::string out = capture_stdout([&] { EXPECT_EQ(qelt_v5p0_enable(table.data(), 2, 1), 0); });
    EXPECT_EQ(table[2].v5p0_on, 1);
    EXPECT_EQ(expander_writes(), (std::vector<bytes>{{0x03, 0x17}}));
    EXPECT_TRUE(has(out, ":\"V5.0 onoff = 1 on TCA9535 addr 0x3 val 0x17\"\n"));
    // Only bit 0 of the request counts: 2 switches off.
    EXPECT_EQ(qelt_v3p3_enable(table.data(), 2, 2), 0);
    EXPECT_EQ(io(2).reg[3], 0x13);
    EXPECT_EQ(table[2].v3p3_on, 0);
    // With the last rail off the "any rail" bit drops too.
    EXPECT_EQ(qelt_v5p0_enable(table.data(), 2, 0), 0);
    EXPECT_EQ(qelt_vdd_enable(table.data(), 2, 0, 0), 0);
    EXPECT_EQ(io(2).reg[3], 0x00);
    EXPECT_EQ(io(3).reg[3], 0xFF) << "another slot's expander was written";

    // The rail went on but its code was refused: the record still says off.
    board.inject(nack(0, expander, qsim::op_write, 1, 1));
    out = capture_stdout([&] { EXPECT_EQ(qelt_vdd_enable(table.data(), 2, 1, 0xED), 1); });
    EXPECT_TRUE(has(out, "\"Unable to write I2C PSU(0x20), Reg(0x06)\""));
    EXPECT_EQ(table[2].vdd_on, 0);

    // The VDD code register is written only for a code other than 0.
    board.clear_trace();
    EXPECT_EQ(qelt_vdd_enable(table.data(), 2, 1, 0), 0);
    EXPECT_EQ(qelt_vdd_enable(table.data(), 2, 1, 0xED), 0);
    EXPECT_EQ(expander_writes(), (std::vector<bytes>{{0x03, 0x11}, {0x03, 0x11}, {0x06, 0xED}}));

    // An absent slot gets every rail off, but the request is recorded.
    table[4].v3p3_on = 1;
    out = capture_stdout([&] { EXPECT_EQ(qelt_v5p0_enable(table.data(), 4, 1), 0); });
    EXPECT_EQ(io(4).reg[3], 0x00);
    EXPECT_EQ(table[4].v5p0_on, 1);
    EXPECT_EQ(out.find("onoff"), std::string::npos);
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

TEST_F(Rails, RegulatorIsProgrammedBeforeTheRailIsSwitched)
{
    const std::string out = capture_stdout([&] { ASSERT_EQ(vdd_set(3, 5.0f), 0); });
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
    EXPECT_TRUE(has(out, ":\"VDCDC Value = 5.67, RegVal = 0x  E4\"\n"));
    EXPECT_TRUE(has(out, ":\"Slice 3 : VDD Set = 5.00 V, Hex = 0xdb\"\n"));

    EXPECT_EQ(qelt_setup_vdcdc(20.5f), 0);
    EXPECT_EQ(regulator_code(), 0x03EC);
    // A code beyond 16 bits: the regulator gets the low 16, the line all of it.
    const std::string far = capture_stdout([&] { EXPECT_EQ(qelt_setup_vdcdc(2000.0f), 0); });
    EXPECT_TRUE(has(far, ":\"VDCDC Value = 2120.14, RegVal = 0x18727\"\n"));
    EXPECT_EQ(regulator_code(), 0x8727);
    // Below the code's offset: 0, not a code wrapped round.
    EXPECT_EQ(qelt_setup_vdcdc(-1.0f), 0);
    EXPECT_EQ(regulator_code(), 0);
}

// Every VDD rail that is on stays within 3 V of every other; inside that
// window the regulator moves only for a new highest rail.
TEST_F(Rails, VddRailsThatAreOnStayWithinThreeVolts)
{
    const struct {
        float slice2, slice5; // other VDD rails on (0: off)
        float request;        // for slice 3
        int result;
        bool moves;
    } cases[] = {
        {5.0f, 0, 8.5f, 300, false},  {5.0f, 0, 8.0f, 0, false},      // at the edge the regulator covers it
        {5.0f, 0, 7.0f, 0, true},     {5.0f, 0, 5.0f, 0, false},      // level with the highest
        {5.0f, 0, 4.0f, 0, false},    {5.0f, 2.9f, 6.0f, 300, false}, // too far above the lowest
        {5.0f, 2.9f, 5.5f, 0, true},  {5.0f, 4.0f, 1.5f, 300, false}, // too far below the highest
        {5.0f, 4.0f, 2.0f, 0, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << c.slice2 << " " << c.slice5 << " " << c.request);
        table[2].vdd_on = c.slice2 != 0;
        table[2].vdd_voltage = c.slice2;
        table[5].vdd_on = c.slice5 != 0;
        table[5].vdd_voltage = c.slice5;
        table[3].vdd_on = 0;
        table[8].vdcdc_voltage = 9.9f;
        board.clear_trace();
        const std::string out = capture_stdout([&] { EXPECT_EQ(vdd_set(3, c.request), c.result); });
        EXPECT_EQ(writes_to(board, 0, regulator).size(), c.moves ? 6u : 0u);
        EXPECT_EQ(table[8].vdcdc_voltage, c.moves ? static_cast<float>(c.request + 0.4) : 9.9f);
        EXPECT_EQ(table[3].vdd_on, c.result == 0 ? 1 : 0);
        if (c.result == 0)
            continue;
        EXPECT_TRUE(untouched(board));
        char message[128];
        std::snprintf(
            message, sizeof message,
            ":\"Unable to Set VDD value of %0.2f to slice 3 ! VddMax = %0.2f, VddMin = %0.2f\\n\"\n",
            static_cast<double>(c.request), static_cast<double>(c.slice2),
            static_cast<double>(c.slice5 != 0 ? c.slice5 : c.slice2));
        EXPECT_TRUE(has(out, message));
    }
}

// 301: the regulator was not programmed; 302: VDD could not be switched
// off; 303: it could not be switched on again with the new code.
TEST_F(Rails, VddSetFailureCodes)
{
    const std::tuple<qsim::fault, int, std::size_t, const char *> cases[] = {
        {refuse_select(0, regulator), 301, 0, "\"Unable to setup I2C device for slice 116\""},
        {nack(0, 0x76, qsim::op_read), 301, 0, "\"Unable to open MUX I2C for mux select 10\""},
        {nack(0, regulator, qsim::op_write, 4), 301, 5, "\"Unable to write I2C VDCDC (0x74), Reg(0x02)\""},
        {nack(0, expander, qsim::op_write), 302, 6, "\"VDD Disable Failure!\""},
        {nack(0, expander, qsim::op_write, 1), 303, 6, "\"VDD Enable Failure!\""},
        {nack(0, expander, qsim::op_write, 2), 303, 6, "\"Unable to write I2C PSU(0x20), Reg(0x06)\""},
    };
    for (const auto &[fault, result, regulator_writes, message] : cases) {
        SCOPED_TRACE(message);
        sim_board fresh{3};
        fresh.inject(fault);
        table[3].vdd_on = 1;
        table[8].vdcdc_voltage = 9.9f;
        const std::string out = capture_stdout([&] { EXPECT_EQ(vdd_set(3, 25.0f), result); });
        EXPECT_TRUE(has(out, message));
        EXPECT_EQ(writes_to(fresh, 0, regulator).size(), regulator_writes);
        EXPECT_EQ(table[8].vdcdc_voltage, result == 301 ? 9.9f : 20.9f);
        EXPECT_EQ(table[3].vdd_on, result == 303 ? 0 : 1);
        EXPECT_EQ(table[3].vdd_voltage, 25.0f) << "the set point is stored only on success";
        EXPECT_TRUE(released(fresh));
    }
}

// Every per-slice operation of the rails, monitors and temperature sensor
// refuses an absent slice, a slice number above 8 and an undefined value.
TEST_F(Rails, RefusedBeforeAnyBusAccess)
{
    const std::string out = capture_stdout([&] {
        EXPECT_EQ(vdd_set(4, 5.0f), 1);
        EXPECT_EQ(vdd_set(3, NAN), 1);
        EXPECT_EQ(qelt_setup_vdcdc(NAN), 1);
        EXPECT_EQ(qelt_v3p3_enable(table.data(), 9, 1), 1);
        EXPECT_EQ(qelt_v5p0_enable(table.data(), 9, 1), 1);
        EXPECT_EQ(qelt_vdd_enable(table.data(), 9, 1, 0x12), 1);
        EXPECT_EQ(qelt_vdd_set(table.data(), 9), 1);
        EXPECT_EQ(qelt_read_psu(table.data(), 200), 1);
        EXPECT_EQ(qelt_cfg_slice_psu(table.data(), 9), 1);
        EXPECT_EQ(qelt_board_temperature(table.data(), 255), 1);
    });
    EXPECT_TRUE(has(out, ":\"Slice 4 not found!\"\n"));
    EXPECT_TRUE(untouched(board));
    EXPECT_EQ(table[3].vdd_on, 0);
}

} // namespace
