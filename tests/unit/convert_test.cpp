// Register codes computed from engineering values for the rails, the
// regulator, the monitors and the temperature sensor.
#include "convert.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

using namespace qelt::convert;

TEST(RailRegister, EnableBitsAndTheAnyRailBit)
{
    EXPECT_EQ(rail_register(false, false, false), 0x00);
    EXPECT_EQ(rail_register(true, false, false), 0x11);
    EXPECT_EQ(rail_register(false, true, false), 0x12);
    EXPECT_EQ(rail_register(false, false, true), 0x14);
    EXPECT_EQ(rail_register(true, true, true), 0x17);
}

TEST(VddSetPoint, ClampsInSinglePrecision)
{
    EXPECT_EQ(clamp_vdd(1.0f), 1.4f);
    EXPECT_EQ(static_cast<double>(clamp_vdd(-5.0f)), 1.399999976158142);
    EXPECT_EQ(clamp_vdd(25.0f), 20.5f);
    EXPECT_EQ(clamp_vdd(std::numeric_limits<float>::infinity()), 20.5f);
    EXPECT_EQ(clamp_vdd(7.3f), 7.3f);
}

TEST(VddSetPoint, CodeFollowsTheWidenedValue)
{
    const struct {
        float volts;
        std::uint8_t code;
    } cases[] = {
        {1.4f, 0},                  // 1.399999976 - 1.4 is negative
        {1.0f, 0},                  // below the range without clamping: still 0
        {1.5f, 1},    {3.3f, 18},   // widens to 3.2999999523
        {5.0f, 36},   {14.0f, 126}, // the top of the lower range
        {14.1f, 191},               // widens to 14.100000381: upper range
        {7.8f, 64},                 // reachable from both ranges; the lower one is used up to 14.1
        {20.5f, 255},
    };
    for (const auto &c : cases)
        EXPECT_EQ(vdd_code(c.volts), c.code) << c.volts;
}

TEST(Vdcdc, ReferenceCodeForTheSetPoint)
{
    const vdcdc_setting at5 = vdcdc_code(5.0f);
    EXPECT_EQ(at5.code, 0x00E4);
    EXPECT_NEAR(at5.output, 5.6738, 1e-4);
    EXPECT_EQ(vdcdc_code(20.5f).code, 0x03EC);
    EXPECT_EQ(vdcdc_code(1.4f).code, 0x002F);
    // A set point that asks for less than the code's offset gives 0, not a wrapped code.
    EXPECT_EQ(vdcdc_code(-1.0f).code, 0);
}

TEST(MonitorReadings, UnsignedRawValuesScaledPerShunt)
{
    EXPECT_FLOAT_EQ(shunt_current(0x1B58, false), 0.7f);
    EXPECT_FLOAT_EQ(shunt_current(0x1B58, true), 1.4f);
    EXPECT_FLOAT_EQ(shunt_current(0xFFF8, false), 6.5528f);
    EXPECT_FLOAT_EQ(bus_voltage(0x2710), 10.0f);
    EXPECT_FLOAT_EQ(bus_voltage(0x8000), 32768 * 0.001f);
    EXPECT_EQ(shunt_current(0, true), 0.0f);
}

TEST(MonitorLimits, MilliampsToLowSixteenBitsOfTheTruncatedProduct)
{
    EXPECT_EQ(threshold_code(700.0f, 10.0f), 7000);
    EXPECT_EQ(threshold_code(8.0f, 10.0f), 80);
    EXPECT_EQ(threshold_code(500.0f, 5.0f), 2500);
    EXPECT_EQ(threshold_code(0.05f, 10.0f), 0);
    EXPECT_EQ(threshold_code(6553.6f, 10.0f), 0);
    EXPECT_EQ(threshold_code(6553.5f, 10.0f), 65535);
    // Values without a meaningful code saturate instead of being undefined.
    EXPECT_EQ(threshold_code(-3.0f, 10.0f), 0);
    EXPECT_EQ(threshold_code(std::numeric_limits<float>::quiet_NaN(), 10.0f), 0);
    EXPECT_EQ(threshold_code(1e12f, 10.0f), 0xFFFF);
}

TEST(TemperatureCode, SignedSixteenBitsIn128thsOfADegree)
{
    EXPECT_EQ(temperature_celsius(0x0C, 0x80), 25.0f);
    EXPECT_EQ(temperature_celsius(0xFF, 0x80), -1.0f);
    EXPECT_EQ(temperature_celsius(0x7F, 0xFF), 255.9921875f);
    EXPECT_EQ(temperature_celsius(0x80, 0x00), -256.0f);
}

} // namespace
