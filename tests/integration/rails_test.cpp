// Slice rails: the expander's rail enables and VDD code, the VDCDC
// regulator and the window that keeps the VDD rails together.
#include "bus_checks.h"

#include <qelt/qelt.h>

#include <cmath>
#include <functional>
#include <limits>

namespace {

using namespace qelt_test;

constexpr std::uint8_t expander = 0x20;
constexpr std::uint8_t regulator = 0x74;

class Rails : public ::testing::Test {
  protected:
    void SetUp() override
    {
        qelt_log_level = 3;
        for (int s : {2, 3, 5})
            table[s].present = 1;
    }
    void TearDown() override { qelt_log_level = 0; }

    qsim::expander &io(int slice) { return board.state().slices[slice].io; }
    std::vector<bytes> expander_writes() { return writes_to(board, 0, expander); }
    std::vector<bytes> regulator_writes() { return writes_to(board, 0, regulator); }

    int vdd_set(std::uint8_t slice, float volts)
    {
        table[slice].vdd_voltage = volts;
        return qelt_vdd_set(table.data(), slice);
    }

    sim_board board{2, 3, 5};
    std::vector<qelt_slice> table = std::vector<qelt_slice>(9);
};

TEST_F(Rails, SwitchRewritesThePortFromTheRecord)
{
    table[2].vdd_on = 1;
    table[2].v3p3_on = 1;
    std::string out = capture_stdout([&] { EXPECT_EQ(qelt_v5p0_enable(table.data(), 2, 1), 0); });
    EXPECT_EQ(io(2).reg[3], 0x17);
    EXPECT_EQ(table[2].v5p0_on, 1);
    EXPECT_EQ(expander_writes(), (std::vector<bytes>{{0x03, 0x17}}));
    EXPECT_NE(out.find("INFO : qelt_v5p0_enable("), std::string::npos);
    EXPECT_NE(out.find(":\"V5.0 onoff = 1 on TCA9535 addr 0x3 val 0x17\"\n"), std::string::npos);

    // Only bit 0 of the request counts: 2 switches off.
    out = capture_stdout([&] { EXPECT_EQ(qelt_v3p3_enable(table.data(), 2, 2), 0); });
    EXPECT_EQ(io(2).reg[3], 0x13);
    EXPECT_EQ(table[2].v3p3_on, 0);
    EXPECT_NE(out.find("\"V3.0 onoff = 0 on TCA9535 addr 0x3 val 0x13\""), std::string::npos);

    // With the last rail off the "any rail" bit drops too.
    EXPECT_EQ(qelt_v5p0_enable(table.data(), 2, 0), 0);
    out = capture_stdout([&] { EXPECT_EQ(qelt_vdd_enable(table.data(), 2, 0, 0), 0); });
    EXPECT_EQ(io(2).reg[3], 0x00);
    EXPECT_NE(out.find("\"VDD onoff = 0 on TCA9535 addr 0x3 val 0x0\""), std::string::npos);
    EXPECT_EQ(io(3).reg[3], 0xFF) << "another slot's expander was written";
    EXPECT_TRUE(released(board));
}

TEST_F(Rails, AbsentSlotGetsEveryRailOffButTheRequestIsRecorded)
{
    table[4].v3p3_on = 1;
    const std::string out = capture_stdout([&] { EXPECT_EQ(qelt_v5p0_enable(table.data(), 4, 1), 0); });
    EXPECT_EQ(io(4).reg[3], 0x00);
    EXPECT_EQ(table[4].v5p0_on, 1);
    EXPECT_EQ(out.find("onoff"), std::string::npos);
}

TEST_F(Rails, VddCodeIsWrittenOnlyWhenGiven)
{
    EXPECT_EQ(qelt_vdd_enable(table.data(), 2, 1, 0), 0);
    EXPECT_EQ(expander_writes(), (std::vector<bytes>{{0x03, 0x11}}));
    EXPECT_EQ(io(2).reg[6], 0xFF);
    board.clear_trace();
    EXPECT_EQ(qelt_vdd_enable(table.data(), 2, 1, 0xED), 0);
    EXPECT_EQ(expander_writes(), (std::vector<bytes>{{0x03, 0x11}, {0x06, 0xED}}));
    EXPECT_EQ(io(2).reg[6], 0xED);
}

TEST_F(Rails, SwitchFailuresLeaveTheRecordAlone)
{
    struct {
        qsim::fault fault;
        std::function<int(qelt_slice *)> call;
        const char *message;
        std::uint8_t qelt_slice::*state;
    } const cases[] = {
        {nack(0, expander, qsim::op_write), [](qelt_slice *t) { return qelt_v3p3_enable(t, 2, 1); },
         "\"Unable to write I2C PSU(0x20), Reg(0x03)\"", &qelt_slice::v3p3_on},
        {nack(0, expander, qsim::op_write, 1), [](qelt_slice *t) { return qelt_vdd_enable(t, 2, 1, 0xED); },
         "\"Unable to write I2C PSU(0x20), Reg(0x06)\"", &qelt_slice::vdd_on},
        {refuse_select(0, 0x76), [](qelt_slice *t) { return qelt_v5p0_enable(t, 2, 1); },
         "\"Unable to open MUX I2C for slice 2\"", &qelt_slice::v5p0_on},
        {refuse_select(0, expander), [](qelt_slice *t) { return qelt_v5p0_enable(t, 2, 1); },
         "\"Unable to setup I2C device for slice 2\"", &qelt_slice::v5p0_on},
    };
    for (const auto &c : cases) {
        sim_board fresh{2};
        fresh.inject(c.fault);
        const std::string out = capture_stdout([&] { EXPECT_EQ(c.call(table.data()), 1); });
        EXPECT_NE(out.find(c.message), std::string::npos) << out;
        EXPECT_EQ(table[2].*c.state, 0) << c.message;
        EXPECT_TRUE(released(fresh)) << c.message;
    }
}

TEST_F(Rails, VddSetWritesTheComplementedCode)
{
    struct {
        float request;
        std::uint8_t written; // configuration port 0 value
        float stored;
    } const cases[] = {
        {1.0f, 0xFF, 1.4f},
        {3.3f, 0xED, 3.3f},
        {5.0f, 0xDB, 5.0f},
        {14.1f, 0x40, 14.1f},
        // Top of the range: the complement is 0, and it must still be written.
        {25.0f, 0x00, 20.5f},
    };
    table[3].v3p3_on = 1;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.request);
        io(3).reg[6] = 0x5A; // what an earlier set point left
        board.clear_trace();
        ASSERT_EQ(vdd_set(3, c.request), 0);
        EXPECT_EQ(io(3).reg[6], c.written);
        EXPECT_EQ(expander_writes(), (std::vector<bytes>{{0x03, 0x14}, {0x03, 0x15}, {0x06, c.written}}));
        EXPECT_EQ(table[3].vdd_on, 1);
        EXPECT_EQ(table[3].vdd_voltage, c.stored);
        EXPECT_EQ(table[8].vdcdc_voltage, static_cast<float>(static_cast<double>(c.stored) + 0.4));
        EXPECT_TRUE(released(board));
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
    EXPECT_NE(out.find("INFO : qelt_setup_vdcdc("), std::string::npos);
    EXPECT_NE(out.find(":\"VDCDC Value = 5.67, RegVal = 0x  E4\"\n"), std::string::npos);
    EXPECT_NE(out.find(":\"Slice 3 : VDD Set = 5.00 V, Hex = 0xdb\"\n"), std::string::npos);
    EXPECT_NE(out.find(":\"VddMax = 5.00, VddMin = 5.00\"\n"), std::string::npos);

    EXPECT_EQ(qelt_setup_vdcdc(20.5f), 0);
    EXPECT_EQ(board.state().regulator.reg[0], 0xEC);
    EXPECT_EQ(board.state().regulator.reg[1], 0x03);

    // Far beyond the regulator's range the code needs more than 16 bits:
    // the regulator gets the low 16, the line shows the code as computed.
    const std::string far = capture_stdout([&] { EXPECT_EQ(qelt_setup_vdcdc(2000.0f), 0); });
    EXPECT_NE(far.find(":\"VDCDC Value = 2120.14, RegVal = 0x18727\"\n"), std::string::npos) << far;
    EXPECT_EQ(board.state().regulator.reg[0], 0x27);
    EXPECT_EQ(board.state().regulator.reg[1], 0x87);
}

TEST_F(Rails, VddRailsThatAreOnStayWithinThreeVolts)
{
    table[2].vdd_on = 1;
    table[2].vdd_voltage = 5.0f;
    table[8].vdcdc_voltage = 9.9f;

    std::string out = capture_stdout([&] { EXPECT_EQ(vdd_set(3, 8.5f), 300); });
    EXPECT_NE(out.find("Error : qelt_vdd_set("), std::string::npos);
    EXPECT_NE(out.find(":\"Unable to Set VDD value of 8.50 to slice 3 ! VddMax = 5.00, VddMin = 5.00\\n\"\n"),
              std::string::npos);
    EXPECT_TRUE(untouched(board));
    EXPECT_EQ(table[3].vdd_on, 0);

    // On the edge of the window: accepted, but the regulator already covers it.
    EXPECT_EQ(vdd_set(3, 8.0f), 0);
    EXPECT_TRUE(regulator_writes().empty());
    EXPECT_EQ(table[8].vdcdc_voltage, 9.9f);

    board.clear_trace();
    out = capture_stdout([&] { EXPECT_EQ(vdd_set(3, 7.0f), 0); });
    EXPECT_EQ(regulator_writes().size(), 6u);
    EXPECT_EQ(table[8].vdcdc_voltage, 7.4f);
    EXPECT_NE(out.find("\"VddMax = 7.00, VddMin = 5.00\""), std::string::npos);

    // Below the highest rail: the regulator stays where it is.
    board.clear_trace();
    EXPECT_EQ(vdd_set(3, 4.0f), 0);
    EXPECT_TRUE(regulator_writes().empty());

    // Slices 2 (5.0 V) and 3 (4.0 V) are on: 1.5 V is too far below 5.0 V.
    out = capture_stdout([&] { EXPECT_EQ(vdd_set(5, 1.5f), 300); });
    EXPECT_NE(out.find("VddMax = 5.00, VddMin = 4.00\\n\""), std::string::npos);
}

TEST_F(Rails, WithNoOtherRailOnTheRegulatorFollowsEverySetPoint)
{
    ASSERT_EQ(vdd_set(3, 10.0f), 0);
    ASSERT_EQ(vdd_set(3, 5.0f), 0);
    EXPECT_EQ(table[8].vdcdc_voltage, 5.4f);
    EXPECT_EQ(board.state().regulator.reg[0], 0xE4);
    EXPECT_EQ(board.state().regulator.reg[1], 0x00);
}

TEST_F(Rails, VddSetFailureCodes)
{
    struct {
        qsim::fault fault;
        int result;
        float vdcdc_after;
        std::uint8_t vdd_on_after;
        const char *messages[2];
    } const cases[] = {
        {refuse_select(0, regulator),
         301,
         9.9f,
         1,
         {"\"Unable to setup I2C device for slice 116\"", "\"Unable to Setup VDCDC Voltage = 20.50\""}},
        {nack(0, 0x76, qsim::op_read), 301, 9.9f, 1, {"\"Unable to open MUX I2C for mux select 10\""}},
        {nack(0, regulator, qsim::op_write),
         301,
         9.9f,
         1,
         {"\"Unable to write I2C VDCDC (0x74), Reg(0x06)\""}},
        {nack(0, regulator, qsim::op_write, 4),
         301,
         9.9f,
         1,
         {"\"Unable to write I2C VDCDC (0x74), Reg(0x02)\""}},
        {nack(0, expander, qsim::op_write),
         302,
         20.9f,
         1,
         {"Error : qelt_vdd_enable(", "\"VDD Disable Failure!\""}},
        {nack(0, expander, qsim::op_write, 1), 303, 20.9f, 0, {"\"VDD Enable Failure!\""}},
        {nack(0, expander, qsim::op_write, 2),
         303,
         20.9f,
         0,
         {"\"Unable to write I2C PSU(0x20), Reg(0x06)\"", "\"VDD Enable Failure!\""}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.messages[0]);
        sim_board fresh{3};
        fresh.inject(c.fault);
        table[3].vdd_on = 1;
        table[8].vdcdc_voltage = 9.9f;
        const std::string out = capture_stdout([&] { EXPECT_EQ(vdd_set(3, 25.0f), c.result); });
        for (const char *m : c.messages) {
            if (m == nullptr)
                continue;
            EXPECT_NE(out.find(m), std::string::npos) << out;
        }
        EXPECT_EQ(table[8].vdcdc_voltage, c.vdcdc_after);
        EXPECT_EQ(table[3].vdd_on, c.vdd_on_after);
        EXPECT_EQ(table[3].vdd_voltage, 25.0f) << "the set point is stored only on success";
        EXPECT_TRUE(released(fresh));
    }
    // The regulator stops at the first refused write.
    sim_board fresh{3};
    fresh.inject(nack(0, regulator, qsim::op_write, 4));
    EXPECT_EQ(vdd_set(3, 5.0f), 301);
    EXPECT_EQ(writes_to(fresh, 0, regulator).size(), 5u);
}

TEST_F(Rails, RefusedBeforeAnyBusAccess)
{
    std::string out = capture_stdout([&] { EXPECT_EQ(vdd_set(4, 5.0f), 1); });
    EXPECT_NE(out.find("INFO : qelt_vdd_set("), std::string::npos);
    EXPECT_NE(out.find(":\"Slice 4 not found!\"\n"), std::string::npos);

    const float nan = std::numeric_limits<float>::quiet_NaN();
    out = capture_stdout([&] {
        EXPECT_EQ(vdd_set(3, nan), 1);
        EXPECT_EQ(qelt_setup_vdcdc(nan), 1);
    });
    EXPECT_NE(out.find("Error : qelt_vdd_set("), std::string::npos);
    EXPECT_NE(out.find("Error : qelt_setup_vdcdc("), std::string::npos);
    EXPECT_TRUE(untouched(board));
    EXPECT_EQ(table[3].vdd_on, 0);
}

// Every per-slice operation of the rails, monitors and temperature sensor.
TEST_F(Rails, SliceNumbersAboveEightAreRefused)
{
    const std::function<int(qelt_slice *)> calls[] = {
        [](qelt_slice *t) { return qelt_v3p3_enable(t, 9, 1); },
        [](qelt_slice *t) { return qelt_v5p0_enable(t, 9, 1); },
        [](qelt_slice *t) { return qelt_vdd_enable(t, 9, 1, 0x12); },
        [](qelt_slice *t) { return qelt_vdd_set(t, 9); },
        [](qelt_slice *t) { return qelt_read_psu(t, 200); },
        [](qelt_slice *t) { return qelt_cfg_slice_psu(t, 9); },
        [](qelt_slice *t) { return qelt_board_temperature(t, 255); },
    };
    for (const auto &call : calls) {
        const std::string out = capture_stdout([&] { EXPECT_EQ(call(table.data()), 1); });
        EXPECT_NE(out.find("Error : "), std::string::npos);
    }
    EXPECT_TRUE(untouched(board));
}

} // namespace
