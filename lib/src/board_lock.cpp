#include "board_lock.h"

#include "lock_file.h"
#include "log.h"

#include <qelt/qelt.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

namespace qelt {
namespace {

// Everything below is guarded by thread_lock; only its holder touches it.
std::recursive_mutex thread_lock;
int depth = 0;
int lock_fd = -1;
bool failure_reported = false;
// The thread holding the lock, so that a release by any other thread can be
// refused instead of corrupting the mutex.
std::atomic<std::thread::id> owner{};

void lock_across_processes()
{
    lock_fd = lock_file::acquire(board_lock_path);
    if (lock_fd < 0) {
        if (!failure_reported)
            log_error(site{"board_lock", __LINE__}, "Unable to open board lock %s (%s), going on without it",
                      board_lock_path, std::strerror(errno));
        failure_reported = true;
        return;
    }
    failure_reported = false;
}

void acquire()
{
    thread_lock.lock();
    if (depth++ == 0) {
        owner = std::this_thread::get_id();
        lock_across_processes();
    }
}

void release()
{
    if (--depth == 0) {
        if (lock_fd >= 0) {
            lock_file::release(lock_fd);
            lock_fd = -1;
        }
        owner = std::thread::id{};
    }
    thread_lock.unlock();
}

} // namespace

board_lock::board_lock() { acquire(); }

board_lock::~board_lock() { release(); }

} // namespace qelt

extern "C" {

int qelt_board_lock(void)
{
    qelt::acquire();
    return 0;
}

int qelt_board_unlock(void)
{
    if (qelt::owner != std::this_thread::get_id()) {
        qelt::log_error(QELT_HERE, "The board lock is not held by this thread");
        return 1;
    }
    qelt::release();
    return 0;
}

} // extern "C"
