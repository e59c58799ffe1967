// Pure conversions between engineering values and register codes.
//
// Each keeps the exact floating-point steps the board relies on: which
// operations are single precision, where a value is widened to double, and
// the one place a fused multiply-add is wanted. The build disables
// contraction so that these give the same bits on every target.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace qelt::convert {

// --- Attenuators -----------------------------------------------------------

inline constexpr float dsa_max_db = 31.75f;
inline constexpr float dsa_min_db = 0.0f;

// The attenuator shifts its code in least significant bit first.
constexpr std::uint8_t reverse_bits(std::uint8_t b)
{
    std::uint8_t r = 0;
    for (int i = 0; i < 8; ++i)
        if (b & (1u << i))
            r = static_cast<std::uint8_t>(r | (0x80u >> i));
    return r;
}

// A float to unsigned conversion that is defined for every input: negative
// and NaN give 0, values beyond the range saturate (as AArch64 does).
inline std::uint32_t truncate_u32(float q)
{
    if (!(q >= 0.0f))
        return 0;
    if (q >= 4294967296.0f)
        return std::numeric_limits<std::uint32_t>::max();
    return static_cast<std::uint32_t>(q);
}

// Code for an already clamped value: value / step in single precision,
// truncated toward zero.
inline std::uint32_t dsa_code(float value, float step) { return truncate_u32(value / step); }

// The byte that goes on the wire for a code.
inline std::uint8_t dsa_wire_byte(std::uint32_t code)
{
    return reverse_bits(static_cast<std::uint8_t>(code & 0xFF));
}

// A step must be a positive number and the value a number for the code to
// mean anything.
inline bool dsa_setting_valid(float value, float step)
{
    return !std::isnan(value) && !std::isnan(step) && step > 0.0f;
}

// --- Feedback switch and GPIO matrix --------------------------------------

// Control register with the feedback switch byte replaced; every other bit
// (the LEDs in particular) is kept.
constexpr std::uint32_t fb_switch_register(std::uint32_t reg, std::uint8_t gui, std::uint8_t adc8,
                                           std::uint8_t adc9)
{
    const std::uint32_t byte = ((gui & 1u) << 7) | ((adc9 & 7u) << 3) | (adc8 & 7u);
    return (reg & ~0xFF00u) | (byte << 8);
}

// Matrix register after configuring one GPIO; types 1 and 2 are the same.
// The caller has checked the type (0..2) and the GPIO number (0..7).
constexpr std::uint32_t swmatrix_register(std::uint32_t reg, std::uint8_t gpio, std::uint8_t type,
                                          std::uint8_t value)
{
    const std::uint32_t type_bit = 1u << gpio;
    const std::uint32_t level_bit = 1u << (gpio + 8);
    if (type != 0)
        return reg | type_bit;
    reg &= ~type_bit;
    return value == 1 ? (reg | level_bit) : (reg & ~level_bit);
}

// --- Slice power rails -------------------------------------------------------

inline constexpr float vdd_min = 1.4f;
inline constexpr float vdd_max = 20.5f;
inline constexpr double vdd_window = 3.0;

// Expander output port 1: bit 0 VDD, bit 1 5.0 V, bit 2 3.3 V, bit 4 any.
constexpr std::uint8_t rail_register(bool vdd, bool v5p0, bool v3p3)
{
    std::uint8_t v = static_cast<std::uint8_t>((vdd ? 1u : 0u) | (v5p0 ? 2u : 0u) | (v3p3 ? 4u : 0u));
    return v != 0 ? static_cast<std::uint8_t>(v | 0x10u) : v;
}

// Set point clamped to what the rail can do (single precision, so 1.4
// becomes 1.399999976158142 in later arithmetic).
inline float clamp_vdd(float request)
{
    if (request < vdd_min)
        return vdd_min;
    if (request > vdd_max)
        return vdd_max;
    return request;
}

// 8-bit VDD code: bit 7 selects the upper range starting at 7.8 V, bits 0..6
// count 0.1 V steps. The upper range is one fused multiply-add so that it
// rounds once.
inline std::uint8_t vdd_code(float v)
{
    const double d = v;
    double g;
    if (d > 14.1)
        g = std::fma(d - 6.4 - 1.4, 10.0, 128.0);
    else
        g = (d - 1.4) * 10.0;
    if (!(g > 0.0))
        return 0;
    return static_cast<std::uint8_t>(static_cast<std::uint32_t>(g) & 0xFF);
}

struct vdcdc_setting {
    float output;       // regulator output asked for, volts
    std::uint32_t code; // as computed; the regulator takes its low 16 bits
    std::uint16_t reference() const { return static_cast<std::uint16_t>(code & 0xFFFF); }
};

// Reference code of the VDCDC regulator for a VDD set point (the regulator
// runs 0.4 V above it).
inline vdcdc_setting vdcdc_code(float set_point)
{
    const float t = static_cast<float>(static_cast<double>(set_point) + 0.4);
    const float u = static_cast<float>((static_cast<double>(t) - 0.0468) / 0.9435);
    const double c = (static_cast<double>(u) / 18.73049645390071 - 0.045) * 885.0;
    std::uint32_t code = 0;
    if (c >= 4294967296.0)
        code = std::numeric_limits<std::uint32_t>::max();
    else if (c > 0.0)
        code = static_cast<std::uint32_t>(c);
    return {u, code};
}

// --- Power monitors -------------------------------------------------------------

// Shunt register (40 uV per LSB of bits 15..3) to amperes: 50 mOhm shunts on
// channels 1 and 2, 25 mOhm on channel 3. The raw value is taken unsigned.
inline float shunt_current(std::uint16_t raw, bool shunt_25_milliohm)
{
    const float scaled = static_cast<float>(raw) * 0.125f * 40.0f;
    return shunt_25_milliohm ? scaled / 25000.0f : scaled / 50000.0f;
}

// Bus register (8 mV per LSB of bits 15..3) to volts.
inline float bus_voltage(std::uint16_t raw) { return static_cast<float>(raw) * 0.125f * 80.0f / 10000.0f; }

// Alert limit register for a threshold in mA: x10 on the 50 mOhm channels,
// x5 on the 25 mOhm one; low 16 bits of the truncated product.
inline std::uint16_t threshold_code(float milliamps, float factor)
{
    return static_cast<std::uint16_t>(truncate_u32(milliamps * factor) & 0xFFFF);
}

// --- Temperature --------------------------------------------------------------

// Two's complement, 1/128 degree per step.
inline float temperature_celsius(std::uint8_t msb, std::uint8_t lsb)
{
    const auto raw = static_cast<std::int16_t>(static_cast<std::uint16_t>((msb << 8) | lsb));
    return static_cast<float>(raw) / 128.0f;
}

} // namespace qelt::convert
