// What a stop signal reaches: the two sockets, whose blocking calls it must
// end, and the process group of a running shell command.
#pragma once

#include <chrono>
#include <csignal>

// -1 when not open. Written by the main thread with the stop signals
// blocked; the handler only shuts them down, so that a descriptor number
// is never freed under a call the main thread is about to make on it.
extern volatile sig_atomic_t listen_socket;
extern volatile sig_atomic_t client_socket;
// Set once a stop signal arrived.
extern volatile sig_atomic_t stop_signalled;

// SIGINT, SIGTERM and SIGHUP stop the server, except one that was ignored
// when the server started. No automatic restart: the blocking accept or
// read of the main thread fails when a signal interrupts it.
void install_stop_handlers();

// Closes a socket from the main thread without racing the handler.
void close_socket(volatile sig_atomic_t &socket);

// Sleeps for the given time unless a stop signal arrives first, also one
// that arrives just before the sleep. False when the server must stop.
bool sleep_unless_stopped(std::chrono::nanoseconds duration);

// Blocks the stop signals in the calling thread for its lifetime; `previous`
// is the mask to give back (and to give a child process).
class stop_signals_blocked {
  public:
    stop_signals_blocked();
    ~stop_signals_blocked();
    stop_signals_blocked(const stop_signals_blocked &) = delete;
    stop_signals_blocked &operator=(const stop_signals_blocked &) = delete;

    const sigset_t &previous() const { return previous_; }

  private:
    sigset_t previous_;
};

// The process group of the shell command the main thread waits for, or 0.
// Set with the stop signals blocked; a stop signal kills the whole group,
// so that the wait ends and the server can stop.
extern volatile sig_atomic_t shell_group;
