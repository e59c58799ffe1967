// The worker pool: limits, the job list, pausing and stopping.
#include "programs.h"
#include "worker_pool.h"

#include <gtest/gtest.h>

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

// What the routines did, for waiting on it.
struct recorder {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<int> order; // the parameter of each run
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

// Notes its run, then sleeps on the pool as the monitoring routines do.
int record_run(void *context, void *parameter)
{
    auto *r = static_cast<recorder *>(context);
    {
        std::lock_guard hold(r->lock);
        r->order.push_back(parameter != nullptr ? *static_cast<int *>(parameter) : -1);
        ++r->started;
        r->most_running = std::max(r->most_running, ++r->running);
        r->changed.notify_all();
    }
    pool_sleep(r->sleep);
    std::lock_guard hold(r->lock);
    if (r->stopping != nullptr)
        r->add_result = pool_add(r->stopping, record_run, r, nullptr);
    ++r->ended;
    --r->running;
    r->changed.notify_all();
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

// One to five threads and job slots; a new pool is paused, and its job
// list holds as many jobs as it has slots.
TEST(WorkerPool, LimitsAndTheFullJobList)
{
    const struct {
        int threads, slots;
        bool created;
    } cases[] = {{0, 3, false}, {6, 3, false}, {3, 0, false}, {3, 6, false}, {1, 1, true}, {5, 5, true}};
    for (const auto &c : cases) {
        recorder r;
        worker_pool *pool = pool_create(c.threads, c.slots);
        EXPECT_EQ(pool != nullptr, c.created) << c.threads << " threads, " << c.slots << " slots";
        if (pool == nullptr)
            continue;
        for (int i = 0; i < c.slots; ++i)
            EXPECT_EQ(pool_add(pool, record_run, &r, nullptr), 0);
        EXPECT_EQ(pool_add(pool, record_run, &r, nullptr), POOL_QUEUE_FULL);
        EXPECT_EQ(pool_add(pool, nullptr, nullptr, nullptr), POOL_INVALID);
        EXPECT_EQ(pool_destroy(pool), 0);
        EXPECT_EQ(r.started, 0) << "a paused pool runs nothing";
    }
}

TEST(WorkerPool, OneWorkerCyclesOverTheJobsInOrder)
{
    recorder r;
    int ids[] = {0, 1, 2};
    worker_pool *pool = pool_create(1, 5);
    ASSERT_NE(pool, nullptr);
    for (int &id : ids)
        ASSERT_EQ(pool_add(pool, record_run, &r, &id), 0);
    ASSERT_EQ(pool_resume(pool), 0);
    ASSERT_TRUE(r.wait_for([](const recorder &x) { return x.order.size() >= 7; }));
    EXPECT_EQ(pool_destroy(pool), 0);
    for (std::size_t i = 0; i < r.order.size(); ++i)
        EXPECT_EQ(r.order[i], static_cast<int>(i % 3)) << "run " << i;
}

// A job added to a pool that was resumed first reaches every idle worker,
// not just the one a single wake-up would reach.
TEST(WorkerPool, EveryWorkerTakesAJobAddedAfterResume)
{
    recorder r;
    r.sleep = 60s;
    worker_pool *pool = pool_create(3, 1);
    ASSERT_NE(pool, nullptr);
    ASSERT_EQ(pool_resume(pool), 0);
    ASSERT_TRUE(qelt_test::eventually(others_asleep, 30s)) << "the workers never waited for a job";
    ASSERT_EQ(pool_add(pool, record_run, &r, nullptr), 0);
    EXPECT_TRUE(r.wait_for([](const recorder &x) { return x.running == 3; })) << r.most_running << " of 3";
    EXPECT_EQ(pool_destroy(pool), 0);
}

// A pause ends the sleep of the routines at once and no routine starts
// until the pool is resumed; a stop ends the sleep too, so that neither
// waits for a monitoring period, waits for the routines to end and takes
// no new job.
TEST(WorkerPool, PauseAndStopEndASleepingRoutine)
{
    recorder r;
    r.sleep = 60s;
    worker_pool *pool = pool_create(2, 2);
    ASSERT_NE(pool, nullptr);
    ASSERT_EQ(pool_add(pool, record_run, &r, nullptr), 0);
    ASSERT_EQ(pool_resume(pool), 0);
    ASSERT_TRUE(r.wait_for([](const recorder &x) { return x.started == 2; }));
    EXPECT_EQ(pool_free(pool), POOL_INVALID) << "a running pool was freed";
    ASSERT_EQ(pool_pause(pool), 0);
    ASSERT_TRUE(r.wait_for([](const recorder &x) { return x.ended == 2; })) << "pause left a routine asleep";
    ASSERT_EQ(pool_resume(pool), 0);
    ASSERT_TRUE(r.wait_for([](const recorder &x) { return x.started >= 4; }));
    {
        std::lock_guard hold(r.lock);
        r.stopping = pool;
    }
    std::atomic<bool> destroyed{false};
    std::thread stop([&] {
        const bool freed = pool_destroy(pool) == 0;
        std::lock_guard hold(r.lock);
        destroyed = freed && r.ended == 4;
    });
    EXPECT_TRUE(r.wait_for([](const recorder &x) { return x.ended == 4; })) << "stop left a routine asleep";
    stop.join();
    EXPECT_TRUE(destroyed) << "destroy failed, or returned before the routines ended";
    EXPECT_EQ(r.started, 4) << "routines started while the pool was paused";
    EXPECT_EQ(r.add_result, POOL_STOPPING);
}

} // namespace
