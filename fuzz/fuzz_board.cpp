#include "fuzz_board.h"

#include "board_file.h"
#include "isolation.h"

#include <fcntl.h>
#include <unistd.h>

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

// No shell runs under the fuzzer: the composed line ("TEXT > sysout.txt")
// stands in for the command's output, so the reading of the output file
// is still exercised.
extern "C" int system(const char *line)
{
    if (line == nullptr)
        return 0;
    const int fd = open("sysout.txt", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    const ssize_t written = write(fd, line, std::strlen(line));
    close(fd);
    return written < 0 ? -1 : 0;
}

// The I2C layer pauses after every message for the real devices' sake; the
// simulated ones need no time, so the pauses pass at once and a boot pass
// takes microseconds. Only usleep: libFuzzer's own threads sleep through
// nanosleep and must keep doing so.
extern "C" int usleep(useconds_t /*us*/) { return 0; }
