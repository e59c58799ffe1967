// Runs the built qelt-cmdsrv on a simulated board inside a private network
// namespace with an eth0 of its own, and talks to it over loopback.
//
// The server assigns 10.10.1.7/24 to eth0 when eth0 has no IPv4 address:
// started in the machine's own namespace it would cut the machine off its
// network. The helpers refuse to start it anywhere else than in a
// namespace this process made.
#pragma once

#include "sim_fixture.h"
#include "wire_words.h"

#include <gtest/gtest.h>

#include <optional>

namespace qelt_test {

// A raw TCP connection to the server, for what the client package would
// never send.
class raw_client {
  public:
    // Connects to port 4321 at the dotted IPv4 address.
    explicit raw_client(const char *address = "127.0.0.1");
    ~raw_client();
    raw_client(const raw_client &) = delete;
    raw_client &operator=(const raw_client &) = delete;

    void send_bytes(const std::vector<std::uint8_t> &bytes);
    void send_words(const std::vector<std::uint32_t> &words) { send_bytes(wire_bytes(words)); }
    // Up to n words, fewer when the server closes or nothing comes within
    // the timeout.
    std::vector<std::uint32_t> receive_words(std::size_t n, std::chrono::milliseconds timeout = 5s);
    // Closes with a reset instead of an orderly close.
    void reset();
    // Sends a command and receives its whole response, or only its text.
    std::vector<std::uint32_t> command(const std::string &text);
    std::string reply(const std::string &text);

  private:
    int fd_ = -1;
};

// Each test gets a fresh network namespace with eth0 (a veth end) and
// loopback up, a simulated board with slice 3 fitted, and a server it
// starts when it is ready.
class server_sandbox : public testing::Test {
  public:
    // Starts the server and waits until it printed ready (by default: it
    // accepts connections). ignore_sighup: the server starts with SIGHUP
    // ignored.
    void start_server(bool ignore_sighup = false,
                      const std::string &ready = "--- hwc: waiting for connection");
    bool printed(const std::string &text, std::chrono::milliseconds timeout = 5s)
    {
        return server_->printed(text, timeout);
    }
    std::string output() const { return server_->output(); }
    void signal_server(int sig) { server_->signal(sig); }
    int wait_exit(std::chrono::milliseconds timeout = 10s) { return server_->wait_exit(timeout); }
    pid_t server_pid() const { return server_->pid(); }
    bool led0_lit() { return (board.reg(control_reg) & 1) != 0; }
    // Runs the qelt-sim tool on the board; fails the test when it fails.
    void sim(const std::vector<std::string> &args);

    sim_board board{{3}};

  protected:
    // The address eth0 carries at start ("" for none), in CIDR form.
    virtual std::string eth0_address() const { return "192.168.7.2/24"; }
    void SetUp() override;
    void TearDown() override;

  private:
    bool private_network_ = false;
    std::optional<background_program> server_;
};

} // namespace qelt_test
