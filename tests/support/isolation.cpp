#include "isolation.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
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

// A checkout (or build tree) that lives under /tmp must stay reachable: the
// tests run the programs built there. It is bound back into the new /tmp
// from the old one, reached through a descriptor opened before the mount.
void keep_reachable(int old_tmp, const char *dir)
{
    static constexpr char tmp_prefix[] = "/tmp/";
    if (std::strncmp(dir, tmp_prefix, sizeof tmp_prefix - 1) != 0)
        return;
    const std::string rest = dir + sizeof tmp_prefix - 1;
    const std::string top = rest.substr(0, rest.find('/'));
    const std::string target = std::string(tmp_prefix) + top;
    const std::string source = "/proc/self/fd/" + std::to_string(old_tmp) + "/" + top;
    if (mkdir(target.c_str(), 0755) != 0)
        return; // bound already, for the other tree
    if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        die("keeping the build tree reachable");
}

} // namespace

void isolate_tmp()
{
    enter_namespace();
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        die("making mounts private");
    const int old_tmp = open("/tmp", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (old_tmp < 0)
        die("/tmp");
    if (mount("tmpfs", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0)
        die("mounting a private /tmp");
    keep_reachable(old_tmp, QELT_SOURCE_DIR);
    keep_reachable(old_tmp, QELT_BINARY_DIR);
    close(old_tmp);
}

} // namespace qelt_test
