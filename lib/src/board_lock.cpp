#include "board_lock.h"

#include "log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

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

// Read access is enough for flock, so a lock file that another user
// created still serves; a link planted in /tmp is never followed.
int open_lock_file()
{
    const int fd = open(board_lock_path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0 || errno != ENOENT)
        return fd;
    return open(board_lock_path, O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
}

void lock_across_processes()
{
    lock_fd = open_lock_file();
    if (lock_fd < 0) {
        if (!failure_reported)
            log_error(site{"board_lock", __LINE__}, "Unable to open board lock %s (%s), going on without it",
                      board_lock_path, std::strerror(errno));
        failure_reported = true;
        return;
    }
    failure_reported = false;
    while (flock(lock_fd, LOCK_EX) < 0 && errno == EINTR) {
    }
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
    // Closing the only descriptor of the lock file releases the flock.
    if (--depth == 0 && lock_fd >= 0) {
        close(lock_fd);
        lock_fd = -1;
    }
    thread_lock.unlock();
}

} // namespace qelt
