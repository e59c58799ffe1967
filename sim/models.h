// Behaviour of the simulated devices. Every function here expects the
// board lock to be held by the caller.
#pragma once

#include "board.h"

#include <cstdint>
#include <span>

namespace qsim {

// Power-on state with the given slots fitted (bit n = slot n).
void reset(board_file_layout &f, std::uint16_t fitted_mask);

// Fits or removes a slice: flips the expander's presence pin.
void set_fitted(board_file_layout &f, int slice, bool fitted);

// One whole I2C message to or from `addr` on bus 0 or 1. False when no
// device acknowledges. `who`/`slice` tell which device answered.
struct i2c_result {
    bool ack;
    device_kind who;
    int slice;
};
i2c_result i2c_write(board_file_layout &f, int bus, std::uint8_t addr, std::span<const std::uint8_t> data);
i2c_result i2c_read(board_file_layout &f, int bus, std::uint8_t addr, std::span<std::uint8_t> out);

// One SPI transfer on chip select `cs`: every slice selected in the slice
// select register latches the last byte as its attenuator code.
void spi_transfer(board_file_layout &f, int cs, std::span<const std::uint8_t> tx, std::span<std::uint8_t> rx);

// Recomputes the monitors' alert flags, the expanders' alert pins and the
// board's interrupt status from the readings and limits.
void update_alerts(board_file_layout &f);

// A fault of `kind` that matches every bus, address and operation and
// lasts for ever; callers narrow it down.
fault make_fault(fault_kind kind);
// The fault by which an operation matching the arguments must fail now
// (counted against it), or nullptr.
const fault *take_fault(board &b, fault_kind kind, int bus, int addr, std::uint8_t op, const char *path);
// False when the fault table is full.
bool add_fault(board &b, const fault &wanted);

// Appends to the trace ring; gives the entry's sequence number.
std::uint64_t record(board &b, const trace_entry &e, std::span<const std::uint8_t> data = {});

} // namespace qsim
