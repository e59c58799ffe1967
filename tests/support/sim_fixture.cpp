#include "sim_fixture.h"

#include "models.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

extern char **environ;

namespace qelt_test {
namespace {

std::string fresh_board_path()
{
    static std::atomic<int> counter{0};
    return "/tmp/board-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".sim";
}

std::uint16_t mask_of(std::initializer_list<int> fitted)
{
    std::uint16_t mask = 0;
    for (int s : fitted)
        mask = static_cast<std::uint16_t>(mask | (1u << s));
    return mask;
}

qsim::board_map created(std::initializer_list<int> fitted)
{
    const std::string path = fresh_board_path();
    setenv("QELT_SIM_BOARD", path.c_str(), 1);
    return qsim::board_map::create(path, mask_of(fitted));
}

// Drains both pipes of a child, so that it never blocks on a full one.
void drain(int out_fd, int err_fd, run_result &r)
{
    char buf[65536];
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        if (poll(fds, 2, -1) < 0)
            break;
        for (pollfd &p : fds) {
            if (p.fd < 0 || p.revents == 0)
                continue;
            const ssize_t got = read(p.fd, buf, sizeof buf);
            if (got > 0) {
                (p.fd == out_fd ? r.out : r.err).append(buf, static_cast<std::size_t>(got));
            } else {
                close(p.fd);
                p.fd = -1; // poll skips negative descriptors
            }
        }
    }
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

run_result run_program(const std::vector<std::string> &argv)
{
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);

    // The child gets this process's environment plus the simulator.
    std::vector<std::string> env_text;
    for (char **e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "LD_PRELOAD=", 11) != 0)
            env_text.emplace_back(*e);
    env_text.emplace_back(std::string("LD_PRELOAD=") + QELT_SIM_PRELOAD);
    std::vector<char *> envp;
    for (std::string &s : env_text)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<char *> args;
    for (const std::string &s : argv)
        args.push_back(const_cast<char *>(s.c_str()));
    args.push_back(nullptr);

    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    run_result r;
    if (rc != 0) {
        close(out[0]);
        close(err[0]);
        r.err = std::string("spawn failed: ") + std::strerror(rc);
        return r;
    }
    drain(out[0], err[0], r);
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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
