#include "server_sandbox.h"

#include <arpa/inet.h>
#include <endian.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char **environ;

namespace qelt_test {
namespace {

constexpr std::uint32_t control_register = 0xA0050000;
constexpr char veth_peer[] = "eth0-peer";

ino_t netns_inode()
{
    struct stat st {};
    if (stat("/proc/self/ns/net", &st) != 0)
        throw std::runtime_error("cannot tell which network namespace this is");
    return st.st_ino;
}

// The namespace the test process started in: the machine's own network
// (or the one the tests were given), never to be touched.
ino_t starting_netns()
{
    static const ino_t inode = netns_inode();
    return inode;
}

// Spawns argv with the environment plus `extra`, output to the given files.
pid_t spawn(const std::vector<std::string> &argv, const std::vector<std::string> &extra,
            const std::string &out_path, const std::string &err_path, const char *dir = nullptr)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    // Appending: with both streams in one file, a write to one must not
    // overwrite what the other wrote (a foreign-architecture shell started
    // by the server complains about the preloaded simulator on stderr).
    constexpr int output_flags = O_WRONLY | O_CREAT | O_TRUNC | O_APPEND;
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), output_flags, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), output_flags, 0644);
    if (dir != nullptr)
        posix_spawn_file_actions_addchdir_np(&actions, dir);
    std::vector<std::string> env_text;
    for (char **e = environ; *e != nullptr; ++e)
        env_text.emplace_back(*e);
    env_text.insert(env_text.end(), extra.begin(), extra.end());
    std::vector<char *> envp;
    for (std::string &s : env_text)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<char *> args;
    for (const std::string &s : argv)
        args.push_back(const_cast<char *>(s.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    return pid;
}

int status_of(int raw) { return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw); }

int run_quietly(const std::vector<std::string> &argv)
{
    int raw = 0;
    try {
        waitpid(spawn(argv, {}, "/dev/null", "/dev/null"), &raw, 0);
    } catch (const std::runtime_error &) {
        return 127;
    }
    return status_of(raw);
}

std::string read_all(const std::string &path) { return read_file(path); }

} // namespace

raw_client::raw_client()
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(4321);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd_);
        fd_ = -1;
    }
    const int on = 1;
    if (fd_ >= 0)
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

raw_client::~raw_client()
{
    if (fd_ >= 0)
        close(fd_);
}

void raw_client::send_bytes(const std::vector<std::uint8_t> &bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            throw std::runtime_error("send failed");
        sent += static_cast<std::size_t>(n);
    }
}

std::vector<std::uint32_t> raw_client::receive_words(std::size_t n, std::chrono::milliseconds timeout)
{
    std::vector<std::uint8_t> bytes;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::uint8_t buf[65536];
    while (bytes.size() < 4 * n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd_, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
            break;
        const ssize_t got = recv(fd_, buf, std::min(sizeof buf, 4 * n - bytes.size()), 0);
        if (got <= 0)
            break;
        bytes.insert(bytes.end(), buf, buf + got);
    }
    std::vector<std::uint32_t> words(bytes.size() / 4);
    for (std::size_t i = 0; i < words.size(); ++i) {
        std::uint32_t w;
        std::memcpy(&w, &bytes[4 * i], 4);
        words[i] = be32toh(w);
    }
    return words;
}

bool raw_client::closed_by_server(std::chrono::milliseconds timeout)
{
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
        return false;
    char c;
    return recv(fd_, &c, 1, 0) <= 0;
}

void raw_client::reset()
{
    const linger hard{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(fd_);
    fd_ = -1;
}

void raw_client::hang_up()
{
    close(fd_);
    fd_ = -1;
}

std::vector<std::uint32_t> raw_client::command(const std::string &text)
{
    send_words(command_request(text));
    const std::vector<std::uint32_t> header = receive_words(5);
    if (header.size() != 5)
        return header;
    std::vector<std::uint32_t> reply = receive_words(header[3]);
    reply.insert(reply.begin(), header.begin(), header.end());
    return reply;
}

void server_sandbox::SetUp()
{
    const ino_t outside = starting_netns();
    if (unshare(CLONE_NEWNET) != 0) {
        GTEST_SKIP() << "server tests need a private network namespace and were not allowed one ("
                     << std::strerror(errno) << "); run them as root";
    }
    ASSERT_NE(netns_inode(), outside);
    if (run_quietly({"ip", "link", "add", "eth0", "type", "veth", "peer", "name", veth_peer}) != 0) {
        GTEST_SKIP() << "cannot create eth0 in the private network namespace (is iproute2 installed?)";
    }
    ASSERT_EQ(run_quietly({"ip", "link", "set", "lo", "up"}), 0);
    if (!eth0_address().empty()) {
        ASSERT_EQ(run_quietly({"ip", "addr", "add", eth0_address(), "dev", "eth0"}), 0);
    }
}

void server_sandbox::TearDown()
{
    if (pid_ > 0 && wait_exit(0ms) < 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

void server_sandbox::start_server(bool ignore_sighup)
{
    // Only in a namespace this process made, with the eth0 it made there.
    if (netns_inode() == starting_netns() || if_nametoindex(veth_peer) == 0)
        throw std::logic_error("refusing to start qelt-cmdsrv outside a private network namespace");
    static int serial = 0;
    out_path_ = "/tmp/qelt-cmdsrv-" + std::to_string(getpid()) + "-" + std::to_string(serial++) + ".out";
    struct sigaction ignore {
    }, saved{};
    ignore.sa_handler = ignore_sighup ? SIG_IGN : SIG_DFL;
    sigaction(SIGHUP, &ignore, &saved);
    pid_ =
        spawn({QELT_CMDSRV}, {std::string("LD_PRELOAD=") + QELT_SIM_PRELOAD}, out_path_, out_path_, "/tmp");
    sigaction(SIGHUP, &saved, nullptr);
    if (!printed("--- hwc: waiting for connection", 30s))
        throw std::runtime_error("qelt-cmdsrv did not come up:\n" + output());
}

bool server_sandbox::printed(const std::string &text, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (output().find(text) != std::string::npos)
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
}

std::string server_sandbox::output() const { return read_all(out_path_); }

void server_sandbox::signal_server(int sig) { kill(pid_, sig); }

int server_sandbox::wait_exit(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int raw = 0;
        if (waitpid(pid_, &raw, WNOHANG) == pid_) {
            pid_ = -1;
            return status_of(raw);
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(5ms);
    }
}

bool server_sandbox::led0_lit() { return (board.reg(control_register) & 1) != 0; }

run_result server_sandbox::client(const std::vector<std::string> &args)
{
    std::vector<std::string> argv{"python3", "-m", "qelt_client", "--host", "127.0.0.1", "--timeout", "10"};
    argv.insert(argv.end(), args.begin(), args.end());
    const std::string out = "/tmp/client.out", err = "/tmp/client.err";
    int raw = 0;
    waitpid(spawn(argv, {std::string("PYTHONPATH=") + QELT_SOURCE_DIR + "/clients/python"}, out, err), &raw,
            0);
    run_result r;
    r.status = status_of(raw);
    r.out = read_all(out);
    r.err = read_all(err);
    return r;
}

} // namespace qelt_test
