// Wall time of a qelt-metrics run on a simulated board with all nine slices
// fitted and their settings stored, against the pauses the I2C layer has
// to make during it (counted from the simulator's trace and replayed right
// after, as for the boot pass), and the run's resident memory. The whole
// process is timed: start, pass, formatting and the file written.
//
// usage: qelt-metrics-bench [ROUNDS]
// (exit status 1 when the ratio > 1.20 or the memory reaches 4 MiB)
#include "board_file.h"
#include "i2c_pauses.h"
#include "isolation.h"
#include "models.h"

#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

constexpr double max_ratio = 1.20;
constexpr long max_resident_kib = 4096;
constexpr std::uint16_t all_slices = 0x1FF;

// Resident memory of a run in KiB: its peak, and what it held as it
// exited, once the simulator had let go of its board file (which the
// module does not have).
struct run_memory {
    long peak;
    long at_exit;
};

long status_kib(pid_t pid, const std::string &key)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with(key))
            return std::atol(line.c_str() + key.size());
    return -1;
}

// Runs qelt-metrics to its end, stopped once as it exits to read its
// memory (a spawned child's own peak would include the parent's).
run_memory run_metrics(const std::string &output)
{
    const pid_t pid = fork();
    if (pid == 0) {
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        execl(QELT_METRICS, QELT_METRICS, "--output", output.c_str(), nullptr);
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0); // stopped at the exec
    ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACEEXIT);
    ptrace(PTRACE_CONT, pid, nullptr, nullptr);
    waitpid(pid, &status, 0); // stopped at the exit, its memory still mapped
    const run_memory memory{status_kib(pid, "VmHWM:"), status_kib(pid, "VmRSS:")};
    ptrace(PTRACE_CONT, pid, nullptr, nullptr);
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "qelt-metrics failed\n");
        std::exit(2);
    }
    return memory;
}

} // namespace

int main(int argc, char **argv)
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    // The board lock and the settings file live in /tmp: a private one
    // leaves the machine's alone and goes with the process.
    qelt_test::isolate_tmp();
    const std::string path = "/tmp/board.sim", output = "/tmp/qelt.prom";
    setenv("QELT_SIM_BOARD", path.c_str(), 1);
    setenv("LD_PRELOAD", QELT_SIM_PRELOAD, 1);
    std::ofstream cfg("/tmp/qelt-slice-cfg.bin");
    for (int slice = 0; slice < 9; ++slice) { // all rails on, every attenuator at its default
        cfg << "1,1,7,6.00";
        for (int setting = 0; setting < 8; ++setting)
            cfg << ",31.75,0.25";
        cfg << '\n';
    }
    cfg << "6.40";
    cfg.close();

    qsim::board_map board = qsim::board_map::create(path, all_slices);
    double pass_total = 0, reference_total = 0;
    long resident = 0;
    std::printf("%-6s %12s %12s %8s %8s %14s %12s\n", "round", "run [ms]", "sleeps [ms]", "pauses", "ratio",
                "peak [KiB]", "exit [KiB]");
    for (int round = 0; round < rounds; ++round) {
        {
            qsim::board_lock hold(board.state());
            qsim::reset(board.file(), all_slices);
        }
        const auto start = clock_type::now();
        const run_memory memory = run_metrics(output);
        const double pass = bench::seconds_since(start);

        const std::vector<useconds_t> pauses = bench::pauses_of(board);
        const double reference = bench::replay(pauses);

        pass_total += pass;
        reference_total += reference;
        resident = std::max(resident, memory.at_exit);
        std::printf("%-6d %12.3f %12.3f %8zu %8.3f %14ld %12ld\n", round, pass * 1e3, reference * 1e3,
                    pauses.size(), pass / reference, memory.peak, memory.at_exit);
    }
    std::ifstream in(output);
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    if (text.find("qelt_metrics_read_failures 0\n") == std::string::npos) {
        std::fprintf(stderr, "the pass had read failures:\n%s", text.c_str());
        return 2;
    }
    const double ratio = pass_total / reference_total;
    std::printf("total  %12.3f %12.3f %8s %8.3f (limit %.2f)\n", pass_total * 1e3, reference_total * 1e3, "",
                ratio, max_ratio);
    std::printf("resident memory at exit, without the simulator's board file: %ld KiB (limit %ld KiB)\n",
                resident, max_resident_kib);
    return ratio > max_ratio || resident >= max_resident_kib ? 1 : 0;
}
