// Fixed addresses and register numbers of the base board and the slices.
#pragma once

#include <cstdint>

namespace qelt::map {

inline constexpr std::uint8_t slice_count = 9;
inline constexpr std::uint8_t max_slice = slice_count - 1;
// Slices 5..8 carry a temperature sensor.
inline constexpr std::uint8_t first_sensor_slice = 5;

// AXI GPIO blocks in the programmable logic (physical addresses).
namespace control {
inline constexpr std::uint32_t base = 0xA0050000;
inline constexpr std::uint32_t reg = 0x0;        // LEDs and feedback switch
inline constexpr std::uint32_t irq_status = 0x8; // bit 0: a rail alert is pending
inline constexpr std::uint32_t fb_shift = 8;     // feedback switch byte, bits 8..15
} // namespace control
namespace matrix {
inline constexpr std::uint32_t base = 0xA0060000;
constexpr std::uint32_t offset(std::uint8_t slice) { return 4u * slice; }
} // namespace matrix
namespace select {
inline constexpr std::uint32_t base = 0xA0070000;
inline constexpr std::uint32_t reg = 0x0;
} // namespace select
namespace framesync {
inline constexpr std::uint32_t base = 0xA0080000;
inline constexpr std::uint32_t delay = 0x0;
inline constexpr std::uint32_t counter = 0x4;
} // namespace framesync

// I2C buses.
inline constexpr const char *board_bus = "/dev/i2c-0"; // base board, multiplexed
inline constexpr const char *pl_bus = "/dev/i2c-1";    // routed by the slice select

// Slice multiplexer: two I2C switches on the base-board bus.
namespace mux {
inline constexpr std::uint8_t low_switch = 0x76;  // slices 0..4 and board devices
inline constexpr std::uint8_t high_switch = 0x77; // slices 5..8
inline constexpr std::uint8_t som_monitor = 9;
inline constexpr std::uint8_t vdcdc = 10;
inline constexpr std::uint8_t max_channel = 11;
} // namespace mux

// Device addresses.
inline constexpr std::uint8_t expander_addr = 0x20;     // TCA9535, behind the slice channel
inline constexpr std::uint8_t monitor_addr = 0x40;      // INA3221, slice or SOM channel
inline constexpr std::uint8_t vdcdc_addr = 0x74;        // regulator, mux channel 10
inline constexpr std::uint8_t temp_addr = 0x48;         // sensor on slices 5..8, PL bus
inline constexpr std::uint8_t som_eeprom_addr = 0x50;   // SOM configuration, base-board bus
inline constexpr std::uint8_t bb_eeprom_addr = 0x51;    // base-board EEPROM
inline constexpr std::uint8_t slice_eeprom_addr = 0x54; // slice EEPROM, PL bus

// TCA9535 registers.
namespace expander {
inline constexpr std::uint8_t input0 = 0x00;
inline constexpr std::uint8_t input1 = 0x01; // bit 6 present (low), bit 7 alert (low)
inline constexpr std::uint8_t output0 = 0x02;
inline constexpr std::uint8_t output1 = 0x03; // rail enables
inline constexpr std::uint8_t config0 = 0x06; // complemented VDD code
inline constexpr std::uint8_t config1 = 0x07;
inline constexpr std::uint8_t present_bit = 6;
inline constexpr std::uint8_t alert_bit = 7;
} // namespace expander

// INA3221 registers.
namespace monitor {
inline constexpr std::uint8_t config = 0x00;
inline constexpr std::uint16_t config_value = 0x7327;
inline constexpr std::uint8_t mask_enable = 0x0F;
constexpr std::uint8_t shunt(int ch) { return static_cast<std::uint8_t>(1 + 2 * ch); } // ch 0..2
constexpr std::uint8_t bus(int ch) { return static_cast<std::uint8_t>(2 + 2 * ch); }
constexpr std::uint8_t critical(int ch) { return static_cast<std::uint8_t>(7 + 2 * ch); }
constexpr std::uint8_t warning(int ch) { return static_cast<std::uint8_t>(8 + 2 * ch); }
} // namespace monitor

} // namespace qelt::map
