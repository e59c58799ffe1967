// The worker pool: limits, the job list, pausing, stopping, and the
// workers' signal mask.
#include "worker_pool.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Polls until pred holds or about two seconds have passed.
template <typename Pred> bool eventually(Pred pred)
{
    for (int i = 0; i < 200; ++i) {
        if (pred())
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return pred();
}

struct counter {
    std::atomic<int> runs{0};
    std::atomic<int> active{0};
};

int count_run(void *context, void *)
{
    auto *c = static_cast<counter *>(context);
    ++c->active;
    ++c->runs;
    std::this_thread::sleep_for(1ms);
    --c->active;
    return 0;
}

// Records which job ran, in order.
struct order_log {
    std::mutex lock;
    std::vector<int> ids;
};

int log_run(void *context, void *parameter)
{
    auto *log = static_cast<order_log *>(context);
    std::lock_guard hold(log->lock);
    log->ids.push_back(*static_cast<int *>(parameter));
    return 0;
}

// One to five threads and job slots; a new pool is paused, and its job
// list holds as many jobs as it has slots.
TEST(WorkerPool, LimitsAndTheFullJobList)
{
    const struct {
        int threads, slots;
        bool created;
    } cases[] = {{0, 3, false}, {6, 3, false}, {3, 0, false}, {3, 6, false}, {1, 1, true}, {5, 5, true}};
    for (const auto &c : cases) {
        counter runs;
        worker_pool *pool = pool_create(c.threads, c.slots);
        EXPECT_EQ(pool != nullptr, c.created) << c.threads << " threads, " << c.slots << " slots";
        if (pool == nullptr)
            continue;
        EXPECT_EQ(pool->thread_count, c.threads);
        for (int i = 0; i < c.slots; ++i)
            EXPECT_EQ(pool_add(pool, count_run, &runs, nullptr), 0);
        EXPECT_EQ(pool_add(pool, count_run, &runs, nullptr), POOL_QUEUE_FULL);
        EXPECT_EQ(pool_add(pool, nullptr, nullptr, nullptr), POOL_INVALID);
        EXPECT_EQ(pool_destroy(pool), 0);
        EXPECT_EQ(runs.runs, 0) << "a paused pool runs nothing";
    }
}

TEST(WorkerPool, OneWorkerCyclesOverTheJobsInOrder)
{
    order_log log;
    int ids[] = {0, 1, 2};
    worker_pool *pool = pool_create(1, 5);
    ASSERT_NE(pool, nullptr);
    for (int &id : ids)
        ASSERT_EQ(pool_add(pool, log_run, &log, &id), 0);
    ASSERT_EQ(pool_resume(pool), 0);
    ASSERT_TRUE(eventually([&] {
        std::lock_guard hold(log.lock);
        return log.ids.size() >= 7;
    }));
    EXPECT_EQ(pool_destroy(pool), 0);
    for (std::size_t i = 0; i < log.ids.size(); ++i)
        EXPECT_EQ(log.ids[i], static_cast<int>(i % 3)) << "run " << i;
}

// A pool resumed before it has jobs runs the first one added; pausing
// stops new runs once the running ones end, resuming restarts them; a
// running pool cannot be freed.
TEST(WorkerPool, PauseStopsNewRunsAndResumeRestartsThem)
{
    counter c;
    worker_pool *pool = pool_create(3, 3);
    ASSERT_NE(pool, nullptr);
    ASSERT_EQ(pool_resume(pool), 0);
    std::this_thread::sleep_for(20ms);
    ASSERT_EQ(pool_add(pool, count_run, &c, nullptr), 0);
    ASSERT_TRUE(eventually([&] { return c.runs > 10; }));
    EXPECT_EQ(pool_free(pool), POOL_INVALID);
    ASSERT_EQ(pool_pause(pool), 0);
    std::this_thread::sleep_for(20ms); // a worker woken just before the pause
    ASSERT_TRUE(eventually([&] { return c.active == 0; }));
    const int paused_at = c.runs;
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(c.runs, paused_at);
    ASSERT_EQ(pool_resume(pool), 0);
    EXPECT_TRUE(eventually([&] { return c.runs > paused_at + 10; }));
    EXPECT_EQ(pool_destroy(pool), 0);
}

// A routine that waits for the stop and then tries to add a job.
struct stopping_probe {
    worker_pool *pool;
    std::atomic<bool> started{false};
    std::atomic<bool> finished{false};
    int add_result = 0;
};

int add_while_stopping(void *context, void *)
{
    auto *probe = static_cast<stopping_probe *>(context);
    if (probe->started.exchange(true))
        return 0;
    for (;;) {
        pthread_mutex_lock(&probe->pool->lock);
        const bool stopping = probe->pool->shutdown != 0;
        pthread_mutex_unlock(&probe->pool->lock);
        if (stopping)
            break;
        std::this_thread::sleep_for(1ms);
    }
    probe->add_result = pool_add(probe->pool, count_run, nullptr, nullptr);
    std::this_thread::sleep_for(20ms);
    probe->finished = true;
    return 0;
}

TEST(WorkerPool, DestroyWaitsForTheRunningRoutineAndRefusesNewJobs)
{
    stopping_probe probe;
    probe.pool = pool_create(1, 2);
    ASSERT_NE(probe.pool, nullptr);
    ASSERT_EQ(pool_add(probe.pool, add_while_stopping, &probe, nullptr), 0);
    ASSERT_EQ(pool_resume(probe.pool), 0);
    ASSERT_TRUE(eventually([&] { return probe.started.load(); }));
    EXPECT_EQ(pool_destroy(probe.pool), 0);
    EXPECT_TRUE(probe.finished) << "destroy returned before the routine ended";
    EXPECT_EQ(probe.add_result, POOL_STOPPING);
}

std::atomic<int> stop_signals_blocked{-1};

int record_signal_mask(void *, void *)
{
    sigset_t mask;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    stop_signals_blocked =
        sigismember(&mask, SIGINT) && sigismember(&mask, SIGTERM) && sigismember(&mask, SIGHUP);
    return 0;
}

TEST(WorkerPool, WorkersBlockTheStopSignalsButTheCallerDoesNot)
{
    worker_pool *pool = pool_create(1, 1);
    ASSERT_NE(pool, nullptr);
    ASSERT_EQ(pool_add(pool, record_signal_mask, nullptr, nullptr), 0);
    ASSERT_EQ(pool_resume(pool), 0);
    ASSERT_TRUE(eventually([] { return stop_signals_blocked >= 0; }));
    ASSERT_EQ(pool_pause(pool), 0);
    EXPECT_EQ(pool_destroy(pool), 0);
    EXPECT_EQ(stop_signals_blocked, 1);
    sigset_t mine;
    pthread_sigmask(SIG_SETMASK, nullptr, &mine);
    EXPECT_FALSE(sigismember(&mine, SIGTERM));
}

} // namespace
