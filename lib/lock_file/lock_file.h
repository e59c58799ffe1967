// An advisory lock file in /tmp, shared by the library's board lock and the
// slice configuration file's update lock. The library exports nothing but
// its C interface, so each compiles this same code into itself.
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace qelt::lock_file {

// Opens `path` (creating it when missing) and takes an exclusive flock on
// it, waiting for any other holder. The descriptor, or -1 with errno set
// when the file cannot be opened; release() gives the lock back.
// Read access is enough for flock, so a lock file that another user created
// still serves; a link planted in /tmp is never followed.
inline int acquire(const char *path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0 && errno == ENOENT)
        fd = open(path, O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return -1;
    while (flock(fd, LOCK_EX) < 0 && errno == EINTR) {
    }
    return fd;
}

// Unlocks before closing: a child forked meanwhile holds a copy of the
// descriptor until its exec closes it, and that copy alone would keep the
// lock held.
inline void release(int fd)
{
    flock(fd, LOCK_UN);
    close(fd);
}

} // namespace qelt::lock_file
