#include "isolation.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace qelt_test {
namespace {

[[noreturn]] void die(const char *what)
{
    std::fprintf(stderr, "test isolation: %s: %s\n", what, std::strerror(errno));
    std::exit(2);
}

void write_file(const char *path, const std::string &text)
{
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        die(path);
    close(fd);
}

void enter_namespace()
{
    if (unshare(CLONE_NEWNS) == 0)
        return;
    // Unprivileged: become root of a user namespace of our own first.
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
        die("unshare");
    write_file("/proc/self/setgroups", "deny");
    write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
    write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
}

} // namespace

void isolate_tmp()
{
    enter_namespace();
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        die("making mounts private");
    if (mount("tmpfs", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0)
        die("mounting a private /tmp");
}

} // namespace qelt_test
