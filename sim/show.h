// Human-readable views of the simulated board for the qelt-sim command.
#pragma once

#include "board.h"

#include <cstdio>

namespace qsim {

// Decoded values the board shows an engineer.
double dsa_db(std::uint8_t wire_byte);               // attenuation of a latched byte
double vdd_volts(std::uint8_t code);                 // VDD rail for an (uncomplemented) code
double vdcdc_output_volts(std::uint16_t ref_code);   // regulator output for a reference code
double monitor_amps(std::uint16_t raw, int channel); // channel 0..2
double monitor_volts(std::uint16_t raw);

void show_board(board_file_layout &f, std::FILE *out);
void show_trace_entry(const trace_entry &e, std::FILE *out);

} // namespace qsim
