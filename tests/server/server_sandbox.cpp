#include "server_sandbox.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace qelt_test {

raw_client::raw_client(const char *address) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(4321);
    inet_pton(AF_INET, address, &addr.sin_addr);
    const int on = 1;
    if (connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0)
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    else
        reset();
}

raw_client::~raw_client()
{
    if (fd_ >= 0)
        close(fd_);
}

void raw_client::send_bytes(const std::vector<std::uint8_t> &bytes)
{
    for (std::size_t sent = 0; sent < bytes.size();) {
        const ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            throw std::runtime_error("send failed");
        sent += static_cast<std::size_t>(n);
    }
}

std::vector<std::uint32_t> raw_client::receive_words(std::size_t n, std::chrono::milliseconds timeout)
{
    const timeval tv{static_cast<time_t>(timeout.count() / 1000),
                     static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::vector<std::uint32_t> words(n);
    std::size_t got = 0;
    for (ssize_t r = 1; got < 4 * n && r > 0; got += r > 0 ? static_cast<std::size_t>(r) : 0)
        r = recv(fd_, reinterpret_cast<char *>(words.data()) + got, 4 * n - got, 0);
    words.resize(got / 4);
    for (std::uint32_t &w : words)
        w = be32toh(w);
    return words;
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
    std::vector<std::uint32_t> response = receive_words(5, 30s); // a whole EEPROM read is slow
    if (response.size() == 5) {
        const std::vector<std::uint32_t> text_words = receive_words(response[3]);
        response.insert(response.end(), text_words.begin(), text_words.end());
    }
    return response;
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

void server_sandbox::TearDown()
{
    if (server_) {
        EXPECT_EQ(output().find("ThreadSanitizer"), std::string::npos) << output();
    }
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

void server_sandbox::sim(const std::vector<std::string> &args)
{
    std::vector<std::string> argv{QELT_SIM_TOOL};
    argv.insert(argv.end(), args.begin(), args.end());
    const run_result r = run_program(argv);
    ASSERT_EQ(r.status, 0) << r.err;
}

} // namespace qelt_test
