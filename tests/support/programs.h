// Programs a test starts, and the private network some of them need.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace qelt_test {

using namespace std::chrono_literals;

// Starts a program with this process's environment changed by env
// ("NAME=value" each), its standard input empty and its output streams
// appended to the given files (which may be one).
pid_t spawn_program(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                    const std::string &out_path, const std::string &err_path);
// Exit status of a child, or 128 + signal.
int wait_status(pid_t pid);
// Runs a program (such as ip) without the simulator, its output
// discarded; returns its exit status.
int run_quietly(const std::vector<std::string> &argv);

// Whether done() turns true within timeout, asked every `every`.
template <typename Done>
bool eventually(Done done, std::chrono::milliseconds timeout, std::chrono::milliseconds every = 5ms)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (; !done(); std::this_thread::sleep_for(every))
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
    return true;
}

// A program running beside the test, both output streams in one file in
// /tmp; killed at the end of its scope if it is still running.
class background_program {
  public:
    background_program(const std::vector<std::string> &argv, const std::vector<std::string> &env);
    ~background_program();
    background_program(const background_program &) = delete;
    background_program &operator=(const background_program &) = delete;

    pid_t pid() const { return pid_; }
    std::string output() const;
    // Whether it printed text (waiting up to timeout for it).
    bool printed(const std::string &text, std::chrono::milliseconds timeout = 5s) const;
    void signal(int sig) const;
    // Exit status, 128 + signal, or -1 when still running after timeout.
    int wait_exit(std::chrono::milliseconds timeout = 10s);

  private:
    pid_t pid_;
    std::string out_path_;
};

// Moves the process into a network namespace of its own with loopback up
// and an eth0 (one end of a veth pair whose other end, eth0-peer, stays
// here too), carrying eth0_address (CIDR form) unless it is empty: the
// machine's own network is never touched. False, with the reason, when
// that is not allowed (the tests that need it run as root).
bool private_network(const std::string &eth0_address, std::string &why);

// Whole content of a file, or "" with exists=false.
std::string read_file(const std::string &path, bool *exists = nullptr);
void write_file(const std::string &path, const std::string &content);

} // namespace qelt_test
