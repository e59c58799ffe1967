#include "sim_fixture.h"

#include "models.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace qelt_test {
namespace {

// A board file of its own in the private /tmp, which this process and the
// programs it starts find through $QELT_SIM_BOARD.
qsim::board_map created(std::initializer_list<int> fitted)
{
    static std::atomic<int> counter{0};
    const std::string path =
        "/tmp/board-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".sim";
    std::uint16_t mask = 0;
    for (int s : fitted)
        mask = static_cast<std::uint16_t>(mask | (1u << s));
    setenv("QELT_SIM_BOARD", path.c_str(), 1);
    return qsim::board_map::create(path, mask);
}

} // namespace

sim_board::sim_board(std::initializer_list<int> fitted) : map_(created(fitted)) {}

std::uint32_t &sim_board::reg(std::uint64_t phys)
{
    const std::int64_t at = qsim::window_offset(phys);
    if (at < 0)
        throw std::runtime_error("no simulated register there");
    return *qsim::register_word(file(), at);
}

void sim_board::inject(const qsim::fault &f)
{
    qsim::board_lock hold(state());
    ASSERT_TRUE(qsim::add_fault(state(), f)) << "fault table full";
}

void sim_board::fail_open(const std::string &path, int count)
{
    qsim::fault f = qsim::make_fault(qsim::fault_kind::open);
    f.count = count;
    std::snprintf(f.path, sizeof f.path, "%s", path.c_str());
    inject(f);
}

std::vector<qsim::trace_entry> sim_board::trace()
{
    qsim::board_lock hold(state());
    const qsim::board &b = state();
    const std::uint64_t first =
        b.trace_total > qsim::trace_capacity ? b.trace_total - qsim::trace_capacity : 0;
    std::vector<qsim::trace_entry> out;
    for (std::uint64_t i = first; i < b.trace_total; ++i)
        out.push_back(b.trace[i % qsim::trace_capacity]);
    return out;
}

void sim_board::clear_trace()
{
    qsim::board_lock hold(state());
    state().trace_total = 0;
}

void sim_board::set_fitted(int slice, bool fitted)
{
    qsim::board_lock hold(state());
    qsim::set_fitted(file(), slice, fitted);
}

void sim_board::refresh()
{
    qsim::board_lock hold(state());
    qsim::update_alerts(file());
}

run_result run_program(const std::vector<std::string> &argv, const std::vector<std::string> &env)
{
    static std::atomic<int> serial{0};
    const std::string out = "/tmp/run-" + std::to_string(serial++), err = out + ".err";
    std::vector<std::string> full_env{std::string("LD_PRELOAD=") + QELT_SIM_PRELOAD};
    full_env.insert(full_env.end(), env.begin(), env.end());
    run_result r;
    r.status = wait_status(spawn_program(argv, full_env, out, err));
    r.out = read_file(out);
    r.err = read_file(err);
    unlink(out.c_str());
    unlink(err.c_str());
    return r;
}

run_result run_boardctl(const std::vector<std::string> &args)
{
    std::vector<std::string> argv{QELT_BOARDCTL};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv);
}

std::string capture_stdout(const std::function<void()> &fn)
{
    std::fflush(stdout);
    FILE *tmp = std::tmpfile();
    const int saved = dup(1);
    dup2(fileno(tmp), 1);
    fn();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    const std::string text = read_file("/proc/self/fd/" + std::to_string(fileno(tmp)));
    std::fclose(tmp);
    return text;
}

} // namespace qelt_test
