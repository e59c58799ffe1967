// Plumbing shared by the server benchmarks: a private network with its own
// eth0, the built server started on the simulated board, a client socket,
// and what the kernel tells about the server process.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace bench {

using bytes = std::vector<std::uint8_t>;

inline constexpr std::uint16_t server_port = 4321;

// Reports what failed with errno's text and ends with status 2.
[[noreturn]] void die(const std::string &what);

// Pins the process (and what it starts) to the first CPU it may use;
// returns that CPU.
int pin_to_one_cpu();

// Moves into a network namespace of its own with loopback up and an eth0
// carrying an address, so the server neither waits for one nor assigns
// its fallback to the machine's interface. Needs root.
void private_network();

// Starts qelt-cmdsrv under the simulator in /tmp, its output in
// /tmp/qelt-cmdsrv.out; `preload` is added after the simulator and `env`
// to the environment.
pid_t start_server(const std::string &preload = "", const std::vector<std::string> &env = {});

// Connects to 127.0.0.1:port, retrying while the server comes up.
int connect_to(std::uint16_t port);
void send_all(int fd, const bytes &b);
// Receives exactly n bytes (into a shared scratch buffer when out is null).
void receive_exactly(int fd, std::size_t n, std::uint8_t *out = nullptr);

// Resident KiB of the process, and of that the simulator's board file.
std::pair<long, long> resident_kib(pid_t pid, const std::string &board_path);
// Descriptors the process holds open.
int open_descriptors(pid_t pid);

} // namespace bench
