#include "output.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

bool write_all(int fd, const std::string &text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool replace_file(const std::string &path, const std::string &text, std::string &message)
{
    // The temporary name does not end in .prom, so the textfile collector
    // never picks it up. No fsync: the file is rewritten every few seconds,
    // and one lost to a crash is only as stale as the staleness alert says.
    std::string temp = path + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        message = "cannot create a file beside " + path + ": " + std::strerror(errno);
        return false;
    }
    const char *failed = nullptr;
    if (fchmod(fd, 0644) != 0 || !write_all(fd, text))
        failed = "cannot write ";
    if (close(fd) != 0 && failed == nullptr)
        failed = "cannot write ";
    if (failed == nullptr && std::rename(temp.c_str(), path.c_str()) != 0)
        failed = "cannot replace ";
    if (failed == nullptr)
        return true;
    message = failed + path + ": " + std::strerror(errno);
    unlink(temp.c_str());
    return false;
}
