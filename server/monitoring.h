// Background monitoring: two recurring routines on the worker pool keep
// the rail readings and temperatures of all slices fresh while the
// monitoring flag is set.
#pragma once

#include "worker_pool.h"

#include <pthread.h>

#include <cstdint>
#include <mutex>

// Each held by its routine for a whole pass, so that two passes of the
// same routine never overlap.
extern pthread_mutex_t psu_mutex;
extern pthread_mutex_t temp_mutex;

// Guards the slice table and the library's data objects (log level,
// threshold tables) between the main thread and the workers. The
// interpreter holds it for a whole command, a routine for one slice at a
// time, so a reply never mixes readings of two passes and a command waits
// for one reading at most.
extern std::mutex slice_table_mutex;

// Sleep before each pass, in microseconds; its address is the parameter
// of both routines.
extern std::uint32_t monitor_interval_us;

// Sets up the mutexes and a paused pool of three workers holding the two
// routines over the server's slice table. Null when the pool could not be
// created: the server then runs without monitoring.
worker_pool *start_monitoring();

// Resumes the pool when monitor_enabled is 1 and pauses it otherwise;
// the connection loop calls it after every read.
void follow_monitor_flag(worker_pool *pool);

// Joins every worker (each finishes its routine first), then destroys the
// two mutexes. The mutexes stay when a worker could not be joined.
void stop_monitoring(worker_pool *pool);

// context: the slice table; parameter: the sleep in microseconds.
int qelt_psu_routine(void *context, void *parameter);
int qelt_temp_routine(void *context, void *parameter);
