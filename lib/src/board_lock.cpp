#include "board_lock.h"

#include "lock_file.h"
#include "log.h"

#include <cerrno>
#include <cstring>
#include <mutex>

namespace qelt {
namespace {

// Everything below is guarded by thread_lock; only its holder touches it.
std::recursive_mutex thread_lock;
int depth = 0;
int lock_fd = -1;
bool failure_reported = false;

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

} // namespace

board_lock::board_lock()
{
    thread_lock.lock();
    if (depth++ == 0)
        lock_across_processes();
}

board_lock::~board_lock()
{
    if (--depth == 0 && lock_fd >= 0) {
        lock_file::release(lock_fd);
        lock_fd = -1;
    }
    thread_lock.unlock();
}

} // namespace qelt
