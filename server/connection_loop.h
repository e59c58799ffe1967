// The listening socket and the loop that serves one client at a time.
#pragma once

#include "ring_buffer.h"
#include "worker_pool.h"

// Opens listen_socket on the wildcard address; failures are reported and
// start-up goes on (accept then fails and ends the server).
void open_listen_socket(int port);

// Serves clients until a read fails or a stop signal arrives. Ends the
// process with status 255 when accept fails.
void serve_clients(ring_buffer *ring, worker_pool *pool);
