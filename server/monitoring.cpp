#include "monitoring.h"

#include "log_line.h"
#include "server_state.h"
#include "stop_signal.h"

#include <chrono>
#include <mutex>

namespace {

// Each held by its routine for a whole pass, so that two passes of the
// same routine never overlap.
std::mutex psu_mutex;
std::mutex temp_mutex;

// Sleep before each pass; its address is the parameter of both routines.
std::uint32_t monitor_interval_us = 3000000;

using slice_read = int (*)(qelt_slice *, std::uint8_t);

struct routine_pass {
    const char *name; // reported as the routine in log lines
    const char *what; // "PSU" or "TEMP"
    std::mutex *mutex;
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
    const std::lock_guard whole_pass(*pass.mutex);
    report(pass, __LINE__, "Inside");
    for (std::uint8_t slice = 0; slice < QELT_SLICE_COUNT; ++slice) {
        // One slice at a time, so that a command waits for one reading at
        // most, never for a whole pass.
        std::lock_guard hold(slice_table_mutex);
        pass.read(table, slice);
    }
    report(pass, __LINE__, "Exiting");
    return 0;
}

int qelt_psu_routine(void *context, void *parameter)
{
    return run_pass({"qelt_psu_routine", "PSU", &psu_mutex, qelt_read_psu}, context, parameter);
}

int qelt_temp_routine(void *context, void *parameter)
{
    return run_pass({"qelt_temp_routine", "TEMP", &temp_mutex, qelt_board_temperature}, context, parameter);
}

} // namespace

worker_pool *start_monitoring()
{
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
    if (pool != nullptr)
        pool_destroy(pool);
}
