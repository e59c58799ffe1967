#include "server_sandbox.h"

#include <arpa/inet.h>
#include <endian.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace qelt_test {
namespace {

constexpr std::uint32_t control_register = 0xA0050000;

} // namespace

raw_client::raw_client(const char *address)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(4321);
    inet_pton(AF_INET, address, &addr.sin_addr);
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

void raw_client::wait_at_most(std::chrono::milliseconds timeout)
{
    const timeval tv{static_cast<time_t>(timeout.count() / 1000),
                     static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

std::vector<std::uint32_t> raw_client::receive_words(std::size_t n, std::chrono::milliseconds timeout)
{
    wait_at_most(timeout);
    std::vector<std::uint32_t> words(n);
    std::size_t got = 0;
    for (ssize_t r = 1; got < 4 * n && r > 0; got += r > 0 ? static_cast<std::size_t>(r) : 0)
        r = recv(fd_, reinterpret_cast<char *>(words.data()) + got, 4 * n - got, 0);
    words.resize(got / 4);
    for (std::uint32_t &w : words)
        w = be32toh(w);
    return words;
}

bool raw_client::closed_by_server(std::chrono::milliseconds timeout)
{
    wait_at_most(timeout);
    char c;
    return recv(fd_, &c, 1, 0) == 0 || errno == ECONNRESET;
}

void raw_client::reset()
{
    const linger hard{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(fd_);
    fd_ = -1;
}

std::vector<std::uint32_t> raw_client::command(const std::string &text)
{
    send_words(command_request(text));
    const std::vector<std::uint32_t> header = receive_words(5, 30s); // a whole EEPROM read is slow
    if (header.size() != 5)
        return header;
    std::vector<std::uint32_t> reply = receive_words(header[3]);
    reply.insert(reply.begin(), header.begin(), header.end());
    return reply;
}

std::string raw_client::reply(const std::string &text)
{
    std::string reply;
    const std::vector<std::uint32_t> words = command(text);
    for (std::size_t i = 5; i < words.size(); ++i)
        for (int byte = 0; byte < 4; ++byte)
            if (const char c = static_cast<char>(words[i] >> (8 * byte)); c != '\0')
                reply += c;
    return reply;
}

void server_sandbox::SetUp()
{
    std::string why;
    if (!private_network(eth0_address(), why))
        GTEST_SKIP() << "server tests need a private network namespace: " << why << "; run them as root";
    private_network_ = true;
    ASSERT_EQ(chdir("/tmp"), 0); // where the server's shell commands leave their output
}

void server_sandbox::start_server(bool ignore_sighup, const std::string &ready)
{
    // Only in the namespace SetUp made, with the eth0 it made there.
    if (!private_network_)
        throw std::logic_error("refusing to start qelt-cmdsrv outside a private network namespace");
    struct sigaction ignore {
    }, saved{};
    ignore.sa_handler = ignore_sighup ? SIG_IGN : SIG_DFL;
    sigaction(SIGHUP, &ignore, &saved);
    server_.reset();
    server_.emplace(std::vector<std::string>{QELT_CMDSRV},
                    std::vector<std::string>{std::string("LD_PRELOAD=") + QELT_SIM_PRELOAD});
    sigaction(SIGHUP, &saved, nullptr);
    if (!printed(ready, 30s))
        throw std::runtime_error("qelt-cmdsrv did not come up:\n" + output());
}

bool server_sandbox::led0_lit() { return (board.reg(control_register) & 1) != 0; }

run_result server_sandbox::client(const std::vector<std::string> &args)
{
    std::vector<std::string> argv{"python3", "-m", "qelt_client", "--host", "127.0.0.1", "--timeout", "10"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv,
                       {"LD_PRELOAD=", std::string("PYTHONPATH=") + QELT_SOURCE_DIR + "/clients/python"});
}

} // namespace qelt_test
