// A simulated board for one test, and helpers to drive the library and the
// built programs against it.
#pragma once

#include "board.h"
#include "board_file.h"
#include "programs.h"

#include <gtest/gtest.h>

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace qelt_test {

// The control register: LEDs in bits 0 and 1, the feedback switch in 8..15.
inline constexpr std::uint64_t control_reg = 0xA0050000;

// Creates a fresh board file in the private /tmp with the given slices
// fitted and points $QELT_SIM_BOARD at it, so that library calls made by
// this process and programs started by it talk to this board.
class sim_board {
  public:
    explicit sim_board(std::initializer_list<int> fitted = {});

    qsim::board &state() { return map_.state(); }
    qsim::board_file_layout &file() { return map_.file(); }

    // A 32-bit register of a decoded physical page (e.g. 0xA0050000).
    std::uint32_t &reg(std::uint64_t phys);

    // Adds a fault; fails the test when the table is full.
    void inject(const qsim::fault &f);
    void fail_open(const std::string &path, int count = -1);

    // The bus transactions recorded since the board was created (or since
    // the last clear_trace), oldest first.
    std::vector<qsim::trace_entry> trace();
    void clear_trace();

    // Fits or removes a slice (flips the expander's presence pin).
    void set_fitted(int slice, bool fitted);

    // Recomputes alerts after a test changed readings or limits directly.
    void refresh();

  private:
    qsim::board_map map_;
};

// What a program printed and how it ended.
struct run_result {
    int status = -1; // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Runs a program to its end with the simulator preloaded, env applied after.
run_result run_program(const std::vector<std::string> &argv, const std::vector<std::string> &env = {});

// Runs the board control tool with the given arguments under the simulator.
run_result run_boardctl(const std::vector<std::string> &args);

// Standard output produced by fn, flushed and captured.
std::string capture_stdout(const std::function<void()> &fn);

} // namespace qelt_test
