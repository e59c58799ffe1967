// Wall time of a full boot pass on a simulated board against the pauses the
// I2C layer has to make during that pass. Every I2C message to a device
// behind the switches (or on the PL bus) is followed by 500 us, or 6 ms
// when it moves more than four bytes; the switches' own bytes are not. The
// reference loop replays exactly those sleeps, in order, right after the
// pass, so anything the pass takes beyond them is overhead of the library
// or the simulator.
//
// usage: qelt-boot-bench [ROUNDS]   (exit status 1 when the ratio > 1.10)
#include "board_file.h"
#include "i2c_pauses.h"
#include "isolation.h"
#include "models.h"

#include <qelt/qelt.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

constexpr double max_ratio = 1.10;
// A mix of fitted slots: with and without temperature sensors, and empty
// positions on both switches.
constexpr std::uint16_t fitted_slots = (1u << 0) | (1u << 2) | (1u << 3) | (1u << 5) | (1u << 7) | (1u << 8);

} // namespace

int main(int argc, char **argv)
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    // The library keeps its board lock file in /tmp: leave the machine's own
    // /tmp alone.
    qelt_test::isolate_tmp();

    char dir[] = "/tmp/qelt-boot-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        std::perror("mkdtemp");
        return 2;
    }
    const std::string path = std::string(dir) + "/board.sim";
    setenv("QELT_SIM_BOARD", path.c_str(), 1);

    int status = 0;
    {
        qsim::board_map board = qsim::board_map::create(path, fitted_slots);
        std::vector<qelt_slice> table(QELT_SLICE_COUNT);
        qelt_log_level = 0;

        double pass_total = 0, reference_total = 0;
        std::printf("%-6s %12s %12s %8s %8s\n", "round", "boot [ms]", "sleeps [ms]", "pauses", "ratio");
        for (int round = 0; round < rounds; ++round) {
            // Every round is a first boot of the same board: new slices are
            // set up, empty positions switched off.
            {
                qsim::board_lock hold(board.state());
                qsim::reset(board.file(), fitted_slots);
            }
            std::fill(table.begin(), table.end(), qelt_slice{});

            const auto start = clock_type::now();
            qelt_init_boot(table.data());
            const double pass = bench::seconds_since(start);

            const std::vector<useconds_t> pauses = bench::pauses_of(board);
            const double reference = bench::replay(pauses);

            pass_total += pass;
            reference_total += reference;
            std::printf("%-6d %12.3f %12.3f %8zu %8.3f\n", round, pass * 1e3, reference * 1e3, pauses.size(),
                        pass / reference);
        }
        const double ratio = pass_total / reference_total;
        std::printf("total  %12.3f %12.3f %8s %8.3f (limit %.2f)\n", pass_total * 1e3, reference_total * 1e3,
                    "", ratio, max_ratio);
        status = ratio > max_ratio ? 1 : 0;
    }
    unlink(path.c_str());
    rmdir(dir);
    return status;
}
