// The two sockets a stop signal closes, and the handler that closes them.
#pragma once

#include <csignal>

// -1 when not open. Written by the main thread with the stop signals
// blocked, and by the handler.
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
