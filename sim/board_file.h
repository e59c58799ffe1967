// Opening, creating and locking the shared board file.
#pragma once

#include "board.h"

#include <string>

namespace qsim {

// Board file named by $QELT_SIM_BOARD, else "qelt-sim.board" in the
// working directory.
std::string default_board_path();

// A mapping of a board file; unmapped on destruction.
class board_map {
  public:
    // Maps an existing board; throws std::runtime_error when it is missing
    // or not a board file.
    explicit board_map(const std::string &path);
    // Creates (or re-initialises in place, so that running programs keep
    // seeing it) a board with the given slots fitted.
    static board_map create(const std::string &path, std::uint16_t fitted_mask);

    board_map(board_map &&other) noexcept;
    board_map &operator=(board_map &&) = delete;
    board_map(const board_map &) = delete;
    ~board_map();

    board_file_layout &file() { return *file_; }
    board &state() { return file_->state; }
    int fd() const { return fd_; }
    const std::string &path() const { return path_; }

  private:
    board_map(const std::string &path, int flags);
    std::string path_;
    int fd_ = -1;
    board_file_layout *file_ = nullptr;
};

// Holds the board lock for its scope. The lock is robust: a process that
// died holding it does not stall the others.
class board_lock {
  public:
    explicit board_lock(board &b);
    ~board_lock();
    board_lock(const board_lock &) = delete;
    board_lock &operator=(const board_lock &) = delete;

  private:
    board &b_;
};

} // namespace qsim
