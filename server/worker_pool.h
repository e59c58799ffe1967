// A fixed pool of worker threads cycling over a short list of recurring
// routines: each free worker takes the next routine in turn, runs it and
// comes back for the next one, for as long as the pool is running. Jobs
// are never removed; the list only grows up to its size. Created paused.
// The server's use of it is in monitoring.h.
#pragma once

#include <pthread.h>

#include <chrono>
#include <cstdint>

inline constexpr int POOL_INVALID = -1;      // null pool or routine; freeing a running pool
inline constexpr int POOL_LOCK_FAILURE = -2; // lock, unlock, signal or broadcast failed
inline constexpr int POOL_QUEUE_FULL = -3;   // every job slot is taken
inline constexpr int POOL_STOPPING = -4;     // the pool is being stopped
inline constexpr int POOL_JOIN_FAILURE = -5; // a worker could not be joined

inline constexpr int pool_max_threads = 5;
inline constexpr int pool_max_jobs = 5;

// The routine's result is not used.
using pool_routine = int (*)(void *context, void *parameter);

struct pool_job {
    pool_routine routine;
    void *context;
    void *parameter;
};

struct worker_pool {
    pthread_mutex_t lock; // guards every field below
    pthread_cond_t notify;
    pthread_t *threads;
    pool_job *queue;
    std::uint8_t running; // 1: workers run jobs; 0: paused
    int head;             // job the next free worker takes
    int tail;             // slot the next pool_add fills
    int count;            // jobs in the list
    int thread_count;     // workers started
    int queue_size;       // slots in queue
    int shutdown;         // 0, or pool_stop_requested
};

inline constexpr int pool_stop_requested = 2;

// A new, paused pool; null when a count is outside 1..5 or the pool
// cannot be set up. The workers start with the caller's signal mask.
worker_pool *pool_create(int thread_count, int queue_size);

// Appends a recurring job. 0 or a POOL_ code.
int pool_add(worker_pool *pool, pool_routine routine, void *context, void *parameter);

// Stops or starts the taking of jobs; a routine already running finishes.
// Workers are woken only when the state actually changes. 0 or a POOL_ code.
int pool_pause(worker_pool *pool);
int pool_resume(worker_pool *pool);

// Stops the workers, waits for each to finish its routine, and frees the
// pool when every join succeeded. 0 or a POOL_ code.
int pool_destroy(worker_pool *pool);

// Releases a pool whose workers are gone. 0, or POOL_INVALID for a null
// or still running pool (nothing is freed then).
int pool_free(worker_pool *pool);

// Body of every worker thread; the argument is the pool.
void *pool_worker(void *pool);

// For a routine the pool runs: waits for the given time, or less when the
// pool is paused or stopped meanwhile, so that neither waits for a routine
// that is only sleeping. True when the whole time passed with the pool
// still running.
bool pool_sleep(std::chrono::microseconds duration);
