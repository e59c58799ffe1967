#include "sim_fixture.h"

#include "models.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>

extern char **environ;

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

pid_t spawn_program(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                    const std::string &out_path, const std::string &err_path)
{
    std::map<std::string, std::string> vars;
    for (char **e = environ; *e != nullptr; ++e)
        vars.emplace(std::string(*e).substr(0, std::strcspn(*e, "=")), *e);
    for (const std::string &e : env)
        vars[e.substr(0, e.find('='))] = e;
    std::vector<char *> envp, args;
    for (auto &[name, text] : vars)
        envp.push_back(text.data());
    envp.push_back(nullptr);
    for (const std::string &s : argv)
        args.push_back(const_cast<char *>(s.c_str()));
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    // Appending: with both streams in one file, a write to one must not
    // overwrite what the other wrote.
    constexpr int output_flags = O_WRONLY | O_CREAT | O_TRUNC | O_APPEND;
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), output_flags, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), output_flags, 0644);
    // A test runner may ignore SIGPIPE (ctest does), which a started
    // program would inherit: it gets the default a shell would give it.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &pipe_signal);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &actions, &attr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0)
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    return pid;
}

int wait_status(pid_t pid)
{
    int raw = 0;
    waitpid(pid, &raw, 0);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
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
    char name[] = "/tmp/stdout-XXXXXX";
    const int tmp = mkstemp(name);
    unlink(name);
    const int saved = dup(1);
    dup2(tmp, 1);
    fn();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string text;
    lseek(tmp, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = read(tmp, buf, sizeof buf)) > 0)
        text.append(buf, static_cast<std::size_t>(n));
    close(tmp);
    return text;
}

std::string read_file(const std::string &path, bool *exists)
{
    std::ifstream in(path, std::ios::binary);
    if (exists != nullptr)
        *exists = static_cast<bool>(in);
    return in ? std::string(std::istreambuf_iterator<char>(in), {}) : std::string();
}

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

} // namespace qelt_test
