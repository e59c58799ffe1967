#include "monitoring.h"

#include "log_line.h"
#include "server_state.h"
#include "stop_signal.h"

#include <chrono>

pthread_mutex_t psu_mutex;
pthread_mutex_t temp_mutex;
std::mutex slice_table_mutex;
std::uint32_t monitor_interval_us = 3000000;

namespace {

using slice_read = int (*)(qelt_slice *, std::uint8_t);

struct routine_pass {
    const char *name; // reported as the routine in log lines
    const char *what; // "PSU" or "TEMP"
    pthread_mutex_t *mutex;
    slice_read read;
};

// The level byte is written by the interpreter under the table mutex.
void report(const routine_pass &pass, int line, const char *event)
{
    std::lock_guard hold(slice_table_mutex);
    qelt::log_line::print(qelt::log_line::kind::info, pass.name, line, "%s %s routine", event, pass.what);
}

int run_pass(const routine_pass &pass, void *context, void *parameter)
{
    // A pause or a stop during the sleep skips the pass: it has not begun.
    if (!pool_sleep(std::chrono::microseconds(*static_cast<const std::uint32_t *>(parameter))))
        return 0;
    auto *table = static_cast<qelt_slice *>(context);
    pthread_mutex_lock(pass.mutex);
    report(pass, __LINE__, "Inside");
    for (std::uint8_t slice = 0; slice < QELT_SLICE_COUNT; ++slice) {
        // One slice at a time, so that a command waits for one reading at
        // most, never for a whole pass.
        std::lock_guard hold(slice_table_mutex);
        pass.read(table, slice);
    }
    report(pass, __LINE__, "Exiting");
    pthread_mutex_unlock(pass.mutex);
    return 0;
}

} // namespace

int qelt_psu_routine(void *context, void *parameter)
{
    return run_pass({"qelt_psu_routine", "PSU", &psu_mutex, qelt_read_psu}, context, parameter);
}

int qelt_temp_routine(void *context, void *parameter)
{
    return run_pass({"qelt_temp_routine", "TEMP", &temp_mutex, qelt_board_temperature}, context, parameter);
}

worker_pool *start_monitoring()
{
    pthread_mutex_init(&psu_mutex, nullptr);
    pthread_mutex_init(&temp_mutex, nullptr);
    // The workers inherit the blocked stop signals: those are for the main
    // thread's blocking calls.
    worker_pool *pool = nullptr;
    {
        const stop_signals_blocked blocked;
        pool = pool_create(3, 3);
    }
    pool_add(pool, qelt_psu_routine, slice_table, &monitor_interval_us);
    pool_add(pool, qelt_temp_routine, slice_table, &monitor_interval_us);
    return pool;
}

void follow_monitor_flag(worker_pool *pool)
{
    if (monitor_enabled == 1)
        pool_resume(pool);
    else
        pool_pause(pool);
}

void stop_monitoring(worker_pool *pool)
{
    if (pool != nullptr && pool_destroy(pool) != 0)
        return;
    pthread_mutex_destroy(&psu_mutex);
    pthread_mutex_destroy(&temp_mutex);
}
