// The board lock: the multiplexer setting, the slice select and the
// control register (LED 0, LED 1, feedback switch) are state of the board,
// shared by every thread and every process that drives it. Each exported
// operation that touches the board holds this lock from start to end, so
// no two operations interleave their bus traffic on that state.
#pragma once

namespace qelt {

// Beside the slice configuration file, so that a private /tmp isolates the
// board lock together with the settings file.
inline constexpr const char *board_lock_path = "/tmp/qelt-board.lock";

// Held from construction to destruction. Within a process the lock is
// recursive: an operation may call another exported operation. Across
// processes it is an advisory lock on board_lock_path, taken by the
// outermost holder. When the lock file cannot be opened the failure is
// reported (once until it works again) and the operation runs without the
// cross-process part: the board must stay usable on a read-only /tmp.
class board_lock {
  public:
    board_lock();
    ~board_lock();
    board_lock(const board_lock &) = delete;
    board_lock &operator=(const board_lock &) = delete;
};

} // namespace qelt
