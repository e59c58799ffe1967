#include "programs.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>

extern char **environ;

namespace qelt_test {

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

int run_quietly(const std::vector<std::string> &argv)
{
    return wait_status(spawn_program(argv, {"LD_PRELOAD="}, "/dev/null", "/dev/null"));
}

background_program::background_program(const std::vector<std::string> &argv,
                                       const std::vector<std::string> &env)
{
    static std::atomic<int> serial{0};
    out_path_ = "/tmp/" + argv[0].substr(argv[0].rfind('/') + 1) + "-" + std::to_string(getpid()) + "-" +
                std::to_string(serial++) + ".out";
    pid_ = spawn_program(argv, env, out_path_, out_path_);
}

background_program::~background_program()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

std::string background_program::output() const { return read_file(out_path_); }

bool background_program::printed(const std::string &text, std::chrono::milliseconds timeout) const
{
    return eventually([&] { return output().find(text) != std::string::npos; }, timeout);
}

void background_program::signal(int sig) const { kill(pid_, sig); }

int background_program::wait_exit(std::chrono::milliseconds timeout)
{
    int raw = 0;
    if (!eventually([&] { return waitpid(pid_, &raw, WNOHANG) == pid_; }, timeout))
        return -1;
    pid_ = -1;
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

bool private_network(const std::string &eth0_address, std::string &why)
{
    if (unshare(CLONE_NEWNET) != 0) {
        why = std::string("no private network namespace: ") + std::strerror(errno);
        return false;
    }
    std::vector<std::vector<std::string>> steps = {
        {"ip", "link", "add", "eth0", "type", "veth", "peer", "name", "eth0-peer"},
        {"ip", "link", "set", "lo", "up"}};
    if (!eth0_address.empty())
        steps.push_back({"ip", "addr", "add", eth0_address, "dev", "eth0"});
    for (const std::vector<std::string> &step : steps)
        if (run_quietly(step) != 0) {
            why = "cannot set up eth0 in the private network namespace (is iproute2 installed?)";
            return false;
        }
    return true;
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
