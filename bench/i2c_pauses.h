// The pauses the I2C layer must make, counted from the simulator's trace,
// for benchmarks that set a pass's wall time against them.
#pragma once

#include "board_file.h"

#include <unistd.h>

#include <chrono>
#include <vector>

namespace bench {

// The pauses recorded since the trace was last cleared, in order: every
// I2C message to a device behind the switches (or on the PL bus) is
// followed by 500 us, or 6 ms when it moves more than four bytes; the
// switches' own bytes are not. Ends the program when the trace overflowed.
std::vector<useconds_t> pauses_of(qsim::board_map &board);

// Sleeps exactly those pauses, one after another; the seconds it took.
double replay(const std::vector<useconds_t> &pauses);

double seconds_since(std::chrono::steady_clock::time_point start);

} // namespace bench
