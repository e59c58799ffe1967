#include "fuzz_board.h"

#include "board_file.h"
#include "isolation.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qelt_fuzz {

void set_up_board()
{
    qelt_test::isolate_tmp();
    if (chdir("/tmp") != 0) {
        std::perror("fuzz: /tmp");
        std::exit(2);
    }
    static constexpr char board_path[] = "/tmp/fuzz.board";
    setenv("QELT_SIM_BOARD", board_path, 1);
    static const qsim::board_map board = qsim::board_map::create(board_path, fitted_slices);
}

} // namespace qelt_fuzz

// No shell runs under the fuzzer: the shell text stands in for the
// command's output, so the reading of the output file is still exercised.
namespace {
constexpr pid_t stand_in_shell = 0x7ffffff0;
}

extern "C" int posix_spawn(pid_t *pid, const char *, const posix_spawn_file_actions_t *,
                           const posix_spawnattr_t *, char *const argv[], char *const[])
{
    const int fd = open("sysout.txt", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return errno;
    const ssize_t written = write(fd, argv[2], std::strlen(argv[2]));
    close(fd);
    *pid = stand_in_shell;
    return written < 0 ? EIO : 0;
}

extern "C" pid_t waitpid(pid_t pid, int *status, int)
{
    if (pid != stand_in_shell) {
        errno = ECHILD;
        return -1;
    }
    if (status != nullptr)
        *status = 0;
    return pid;
}

// The I2C layer pauses after every message for the real devices' sake; the
// simulated ones need no time, so the pauses pass at once and a boot pass
// takes microseconds. Only usleep: libFuzzer's own threads sleep through
// nanosleep and must keep doing so.
extern "C" int usleep(useconds_t /*us*/) { return 0; }
