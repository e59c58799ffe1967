// The simulated board that the server's fuzz targets run against.
#pragma once

#include <cstdint>

namespace qelt_fuzz {

// Slices 0, 3 and 5 fitted: a slice on each multiplexer, one of them with
// a temperature sensor.
inline constexpr std::uint16_t fitted_slices = (1u << 0) | (1u << 3) | (1u << 5);

// Once per process, before the first input: moves into a private /tmp,
// makes it the working directory (the shell command's output file lands
// there) and creates a fresh simulated board in it.
void set_up_board();

} // namespace qelt_fuzz
