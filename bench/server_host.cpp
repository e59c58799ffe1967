#include "server_host.h"

#include "programs.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <spawn.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char **environ;

namespace bench {

void die(const std::string &what)
{
    std::fprintf(stderr, "qelt benchmark: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(2);
}

int pin_to_one_cpu()
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        die("sched_getaffinity");
    int cpu = 0;
    while (!CPU_ISSET(cpu, &set))
        ++cpu;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    if (sched_setaffinity(0, sizeof set, &set) != 0)
        die("sched_setaffinity");
    return cpu;
}

void private_network()
{
    std::string why;
    if (!qelt_test::private_network("192.168.7.2/24", why)) {
        std::fprintf(stderr, "qelt benchmark: %s (run as root)\n", why.c_str());
        std::exit(2);
    }
}

pid_t start_server(const std::string &preload, const std::vector<std::string> &env)
{
    std::vector<std::string> env_text;
    for (char **e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "LD_PRELOAD=", 11) != 0)
            env_text.emplace_back(*e);
    env_text.push_back(std::string("LD_PRELOAD=") + QELT_SIM_PRELOAD +
                       (preload.empty() ? "" : ":" + preload));
    env_text.insert(env_text.end(), env.begin(), env.end());
    std::vector<char *> envp;
    for (std::string &s : env_text)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/tmp/qelt-cmdsrv.out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    // The shell command's output file lands in the private /tmp.
    posix_spawn_file_actions_addchdir_np(&actions, "/tmp");
    char *argv[] = {const_cast<char *>(QELT_CMDSRV), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv, envp.data()) != 0)
        die("starting qelt-cmdsrv");
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int connect_to(std::uint16_t port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int attempt = 0; attempt < 500; ++attempt) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
            const int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            return fd;
        }
        close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    die("connecting to port " + std::to_string(port));
}

void send_all(int fd, const bytes &b)
{
    for (std::size_t sent = 0; sent < b.size();) {
        const ssize_t n = send(fd, b.data() + sent, b.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            die("send");
        sent += static_cast<std::size_t>(n);
    }
}

void receive_exactly(int fd, std::size_t n, std::uint8_t *out)
{
    static std::uint8_t sink[1 << 17];
    for (std::size_t got = 0; got < n;) {
        std::uint8_t *to = out != nullptr ? out + got : sink;
        const std::size_t want = out != nullptr ? n - got : std::min(sizeof sink, n - got);
        const ssize_t r = recv(fd, to, want, 0);
        if (r <= 0)
            die("recv");
        got += static_cast<std::size_t>(r);
    }
}

std::pair<long, long> resident_kib(pid_t pid, const std::string &board_path)
{
    std::ifstream smaps("/proc/" + std::to_string(pid) + "/smaps");
    long total = 0, board = 0;
    bool in_board = false;
    for (std::string line; std::getline(smaps, line);) {
        std::istringstream fields(line);
        std::string key;
        fields >> key;
        if (key.find('-') != std::string::npos) { // a mapping's head line
            in_board = line.find(board_path) != std::string::npos;
        } else if (key == "Rss:") {
            long kib = 0;
            fields >> kib;
            total += kib;
            board += in_board ? kib : 0;
        }
    }
    return {total, board};
}

int open_descriptors(pid_t pid)
{
    DIR *dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (dir == nullptr)
        die("listing the server's descriptors");
    int n = 0;
    while (const dirent *e = readdir(dir))
        n += e->d_name[0] != '.';
    closedir(dir);
    return n;
}

} // namespace bench
