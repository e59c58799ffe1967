// The worker pool: limits, the job list, pausing and stopping.
#include "worker_pool.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
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

// Counts routines that have begun and ended, for waiting on them.
struct sleepers {
    std::mutex lock;
    std::condition_variable changed;
    int started = 0, ended = 0, running = 0, most_running = 0;
    std::chrono::microseconds sleep{0};
    worker_pool *stopping = nullptr; // a job is added to it after each sleep
    int add_result = 0;

    template <typename Pred> bool wait_for(Pred pred)
    {
        std::unique_lock hold(lock);
        return changed.wait_for(hold, 30s, [&] { return pred(*this); });
    }
};

// Sleeps on the pool for the test's time, as the monitoring routines do.
int sleep_on_pool(void *context, void *)
{
    auto *s = static_cast<sleepers *>(context);
    {
        std::lock_guard hold(s->lock);
        ++s->started;
        s->most_running = std::max(s->most_running, ++s->running);
        s->changed.notify_all();
    }
    pool_sleep(s->sleep);
    std::lock_guard hold(s->lock);
    if (s->stopping != nullptr)
        s->add_result = pool_add(s->stopping, sleep_on_pool, s, nullptr);
    ++s->ended;
    --s->running;
    s->changed.notify_all();
    return 0;
}

// True once every other thread of the process sleeps: the workers wait
// for a job.
bool others_asleep()
{
    const std::string self = std::to_string(gettid());
    for (const auto &task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string stat;
        std::getline(std::ifstream(task.path() / "stat"), stat);
        const std::size_t state = stat.rfind(')') + 2;
        if (task.path().filename() != self && state < stat.size() && stat[state] != 'S')
            return false;
    }
    return true;
}

// A job added to a pool that was resumed first reaches every idle worker,
// not just the one a single wake-up would reach.
TEST(WorkerPool, EveryWorkerTakesAJobAddedAfterResume)
{
    sleepers s;
    s.sleep = 60s;
    worker_pool *pool = pool_create(3, 1);
    ASSERT_NE(pool, nullptr);
    ASSERT_EQ(pool_resume(pool), 0);
    for (const auto deadline = std::chrono::steady_clock::now() + 30s; !others_asleep();)
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the workers never waited for a job";
    ASSERT_EQ(pool_add(pool, sleep_on_pool, &s, nullptr), 0);
    EXPECT_TRUE(s.wait_for([](const sleepers &x) { return x.running == 3; })) << s.most_running << " of 3";
    EXPECT_EQ(pool_destroy(pool), 0);
}

// A pause ends the sleep of the routines at once and no routine starts
// until the pool is resumed; a stop ends the sleep too, so that neither
// waits for a monitoring period, waits for the routines to end and takes
// no new job.
TEST(WorkerPool, PauseAndStopEndASleepingRoutine)
{
    sleepers s;
    s.sleep = 60s;
    worker_pool *pool = pool_create(2, 2);
    ASSERT_NE(pool, nullptr);
    ASSERT_EQ(pool_add(pool, sleep_on_pool, &s, nullptr), 0);
    ASSERT_EQ(pool_resume(pool), 0);
    ASSERT_TRUE(s.wait_for([](const sleepers &x) { return x.started == 2; }));
    EXPECT_EQ(pool_free(pool), POOL_INVALID) << "a running pool was freed";
    ASSERT_EQ(pool_pause(pool), 0);
    ASSERT_TRUE(s.wait_for([](const sleepers &x) { return x.ended == 2; })) << "pause left a routine asleep";
    ASSERT_EQ(pool_resume(pool), 0);
    ASSERT_TRUE(s.wait_for([](const sleepers &x) { return x.started >= 4; }));
    {
        std::lock_guard hold(s.lock);
        s.stopping = pool;
    }
    std::atomic<bool> destroyed{false};
    std::thread stop([&] {
        const bool freed = pool_destroy(pool) == 0;
        std::lock_guard hold(s.lock);
        destroyed = freed && s.ended == 4;
    });
    EXPECT_TRUE(s.wait_for([](const sleepers &x) { return x.ended == 4; })) << "stop left a routine asleep";
    stop.join();
    EXPECT_TRUE(destroyed) << "destroy failed, or returned before the routines ended";
    EXPECT_EQ(s.started, 4) << "routines started while the pool was paused";
    EXPECT_EQ(s.add_result, POOL_STOPPING);
}

} // namespace
