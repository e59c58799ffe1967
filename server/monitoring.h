// Background monitoring: two recurring routines on the worker pool keep
// the rail readings and temperatures of all slices fresh while the
// monitoring flag is set.
#pragma once

#include "worker_pool.h"

// A paused pool of three workers holding the PSU and temperature routines
// over the server's slice table. Null when the pool could not be created:
// the server then runs without monitoring.
worker_pool *start_monitoring();

// Resumes the pool when monitor_enabled is 1 and pauses it otherwise;
// the connection loop calls it after every read.
void follow_monitor_flag(worker_pool *pool);

// Joins every worker; each ends a pass under way, but not a sleep.
void stop_monitoring(worker_pool *pool);
