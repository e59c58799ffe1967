#include "worker_pool.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>

namespace {

bool valid_count(int n, int max) { return n >= 1 && n <= max; }

// Sets running under the lock; the workers are woken only when it changes,
// since the connection loop applies the state after every read and a
// broadcast that changes nothing costs a wake-up of every idle worker.
int set_running(worker_pool *pool, std::uint8_t running)
{
    if (pool == nullptr)
        return POOL_INVALID;
    if (pthread_mutex_lock(&pool->lock) != 0)
        return POOL_LOCK_FAILURE;
    int result = 0;
    if (pool->running != running) {
        pool->running = running;
        if (pthread_cond_broadcast(&pool->notify) != 0)
            result = POOL_LOCK_FAILURE;
    }
    if (pthread_mutex_unlock(&pool->lock) != 0)
        result = POOL_LOCK_FAILURE;
    return result;
}

bool start_workers(worker_pool *pool, int thread_count)
{
    bool started = true;
    for (int i = 0; i < thread_count && started; ++i) {
        started = pthread_create(&pool->threads[i], nullptr, pool_worker, pool) == 0;
        if (started)
            ++pool->thread_count;
    }
    return started;
}

// The pool whose worker runs on this thread, for pool_sleep.
thread_local worker_pool *running_pool = nullptr;

// The wait of pool_sleep has a deadline on the monotonic clock, which a
// change of the wall clock cannot stretch.
bool init_notify(pthread_cond_t *notify)
{
    pthread_condattr_t attr;
    if (pthread_condattr_init(&attr) != 0)
        return false;
    const bool ready = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) == 0 &&
                       pthread_cond_init(notify, &attr) == 0;
    pthread_condattr_destroy(&attr);
    return ready;
}

// Releases a pool whose lock and notify were never both set up.
void release_unready(worker_pool *pool, bool lock_ready)
{
    if (lock_ready)
        pthread_mutex_destroy(&pool->lock);
    std::free(pool->threads);
    std::free(pool->queue);
    pool->threads = nullptr;
    pool_free(pool);
}

} // namespace

worker_pool *pool_create(int thread_count, int queue_size)
{
    if (!valid_count(thread_count, pool_max_threads) || !valid_count(queue_size, pool_max_jobs))
        return nullptr;
    auto *pool = static_cast<worker_pool *>(std::calloc(1, sizeof(worker_pool)));
    if (pool == nullptr)
        return nullptr;
    pool->queue_size = queue_size;
    pool->threads = static_cast<pthread_t *>(std::calloc(thread_count, sizeof(pthread_t)));
    pool->queue = static_cast<pool_job *>(std::calloc(queue_size, sizeof(pool_job)));
    const bool lock_ready =
        pool->threads != nullptr && pool->queue != nullptr && pthread_mutex_init(&pool->lock, nullptr) == 0;
    if (!lock_ready || !init_notify(&pool->notify)) {
        release_unready(pool, lock_ready);
        return nullptr;
    }
    if (!start_workers(pool, thread_count)) {
        pool_destroy(pool);
        return nullptr;
    }
    return pool;
}

int pool_add(worker_pool *pool, pool_routine routine, void *context, void *parameter)
{
    if (pool == nullptr || routine == nullptr)
        return POOL_INVALID;
    if (pthread_mutex_lock(&pool->lock) != 0)
        return POOL_LOCK_FAILURE;
    int result = 0;
    if (pool->count == pool->queue_size) {
        result = POOL_QUEUE_FULL;
    } else if (pool->shutdown != 0) {
        result = POOL_STOPPING;
    } else {
        pool->queue[pool->tail] = {routine, context, parameter};
        pool->tail = (pool->tail + 1) % pool->queue_size;
        ++pool->count;
        // Every idle worker may be waiting for a job, not just one: a pool
        // resumed before its jobs were added must run them on all workers.
        if (pthread_cond_broadcast(&pool->notify) != 0)
            result = POOL_LOCK_FAILURE;
    }
    if (pthread_mutex_unlock(&pool->lock) != 0)
        result = POOL_LOCK_FAILURE;
    return result;
}

int pool_pause(worker_pool *pool) { return set_running(pool, 0); }

int pool_resume(worker_pool *pool) { return set_running(pool, 1); }

int pool_destroy(worker_pool *pool)
{
    if (pool == nullptr)
        return POOL_INVALID;
    if (pthread_mutex_lock(&pool->lock) != 0)
        return POOL_LOCK_FAILURE;
    if (pool->shutdown != 0) {
        pthread_mutex_unlock(&pool->lock);
        return POOL_STOPPING;
    }
    pool->shutdown = pool_stop_requested;
    // Cleared under the lock: the workers read it under the lock too.
    pool->running = 0;
    int result = pthread_cond_broadcast(&pool->notify) == 0 ? 0 : POOL_LOCK_FAILURE;
    if (pthread_mutex_unlock(&pool->lock) != 0)
        result = POOL_LOCK_FAILURE;
    if (result != 0)
        return result;
    for (int i = 0; i < pool->thread_count; ++i)
        if (pthread_join(pool->threads[i], nullptr) != 0)
            result = POOL_JOIN_FAILURE;
    // Freed only when every worker is gone; a pool left running would
    // refuse to be freed, which is this call's failure too.
    return result == 0 ? pool_free(pool) : result;
}

int pool_free(worker_pool *pool)
{
    if (pool == nullptr || pool->running != 0)
        return POOL_INVALID;
    if (pool->threads != nullptr) {
        std::free(pool->threads);
        std::free(pool->queue);
        pthread_mutex_destroy(&pool->lock);
        pthread_cond_destroy(&pool->notify);
    }
    std::free(pool);
    return 0;
}

bool pool_sleep(std::chrono::microseconds duration)
{
    worker_pool *pool = running_pool;
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    const long long ns = deadline.tv_nsec + std::chrono::nanoseconds(duration).count();
    deadline.tv_sec += static_cast<time_t>(ns / 1000000000);
    deadline.tv_nsec = static_cast<long>(ns % 1000000000);
    pthread_mutex_lock(&pool->lock);
    for (int waited = 0; pool->running == 1 && pool->shutdown == 0 && waited != ETIMEDOUT;)
        waited = pthread_cond_timedwait(&pool->notify, &pool->lock, &deadline);
    const bool running = pool->running == 1 && pool->shutdown == 0;
    pthread_mutex_unlock(&pool->lock);
    return running;
}

void *pool_worker(void *arg)
{
    auto *pool = static_cast<worker_pool *>(arg);
    running_pool = pool;
    for (;;) {
        pthread_mutex_lock(&pool->lock);
        // An empty list has no next job: a resumed pool without jobs waits
        // for pool_add instead of picking an index modulo zero.
        while ((pool->running != 1 || pool->count == 0) && pool->shutdown == 0)
            pthread_cond_wait(&pool->notify, &pool->lock);
        if (pool->shutdown != 0) {
            pthread_mutex_unlock(&pool->lock);
            return nullptr;
        }
        const pool_job job = pool->queue[pool->head];
        pool->head = (pool->head + 1) % pool->count;
        pthread_mutex_unlock(&pool->lock);
        job.routine(job.context, job.parameter);
    }
}
