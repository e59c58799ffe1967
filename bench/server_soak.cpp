// qelt-cmdsrv under a long mixed load on the simulated board, with
// background monitoring on: client connections one after another send
// every text command, READ/WRITE of the board's memory (checked against
// what was written), pipelined echoes, and bad requests: unknown magic,
// lengths the server can never serve, requests cut short by a client that
// hangs up or resets, and a client that leaves before reading its
// responses. After each bad connection the server must still be running;
// at the end it must still answer, with its resident memory (the
// simulator's board file aside) and its open descriptors where they were
// after the first 1000 requests. Runs in a private network namespace with
// a private /tmp, so it needs root (or user namespaces).
//
// usage: qelt-server-soak [REQUESTS]   (default 100000; exit status 1 when
// a check fails)
#include "board_file.h"
#include "isolation.h"
#include "server_host.h"
#include "wire_words.h"

#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace bench;
using qelt_test::request;
using qelt_test::wire_bytes;
using words = std::vector<std::uint32_t>;

constexpr std::uint32_t magic_read = 0xda010001;
constexpr std::uint32_t magic_write = 0xda010002;
constexpr std::uint32_t magic_command = 0xda010003;
constexpr std::uint64_t ram = 0x10000000; // plain memory window of the simulated board
constexpr std::uint32_t ram_words = 16 * 1024;
constexpr std::uint16_t fitted = (1u << 0) | (1u << 3) | (1u << 5);

// Every text command, with arguments that suit the fitted slices. Stopping
// the monitoring is followed at once by starting it again.
const char *const every_command[] = {
    "qelt_sw_version",
    "qelt_init_boot 0",
    "qelt_dsa_write 3 1 0 12.5 0.25",
    "qelt_dsa_read 3 1 0 ",
    "qelt_board_temperature 5",
    "qelt_read_psu 3",
    "qelt_power_detect 3 2",
    "qelt_vdd_set 3 1.8",
    "qelt_vdd_enable 3 1 0",
    "qelt_vdcdc_readback",
    "qelt_v3p3_enable 3 1 0",
    "qelt_v5p0_enable 3 1 0",
    "qelt_eeprom_clear 0",
    "qelt_eeprom_write 0 11 soak record",
    "qelt_eeprom_read 0",
    "qelt_bb_eeprom_write 4 abcd",
    "qelt_bb_eeprom_read",
    "qelt_fbswitch_config 1 2 3",
    "qelt_interrupt_polling",
    "qelt_interrupt_task_stop",
    "qelt_interrupt_task_start",
    "qelt_psu_wa_levels 3 100 200 300",
    "qelt_psu_ca_levels 3 400 500 600",
    "qelt_log_level_set 1",
    "qelt_framesync_delay 0",
    "qelt_framesync_count",
    "qelt_system_call echo soak",
    "qelt_read_som_cfg",
    "qelt_read_som_psu",
};

// Cheap requests that keep the board out of the way: what a polling host
// sends most.
const char *const frequent_command[] = {
    "echo soak",
    "qelt_sw_version",
    "qelt_dsa_read 3 1 0 ",
    "qelt_read_psu 3",
    "qelt_board_temperature 5",
    "qelt_vdcdc_readback",
    "qelt_framesync_count",
};

std::string reply_text(const words &reply)
{
    std::string text;
    for (std::uint32_t w : reply)
        for (int k = 0; k < 4; ++k)
            text += static_cast<char>(w >> (8 * k));
    return text.substr(0, text.find('\0'));
}

words from_wire(const bytes &b)
{
    words w(b.size() / 4);
    for (std::size_t i = 0; i < w.size(); ++i)
        w[i] = ntohl(reinterpret_cast<const std::uint32_t *>(b.data())[i]);
    return w;
}

class client {
  public:
    client() : fd_(connect_to(server_port)) {}
    ~client()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    client(const client &) = delete;
    client &operator=(const client &) = delete;

    void send_bytes(const bytes &b) { send_all(fd_, b); }
    void send_words(const words &w) { send_all(fd_, wire_bytes(w)); }
    words receive(std::size_t n)
    {
        bytes b(4 * n);
        receive_exactly(fd_, b.size(), b.data());
        return from_wire(b);
    }
    std::string command_reply()
    {
        const words head = receive(5);
        if (head[0] != (magic_command ^ 0x77000000))
            die("a COMMAND answered with another response");
        return reply_text(receive(head[3]));
    }
    std::string command(const std::string &text)
    {
        send_words(qelt_test::command_request(text));
        return command_reply();
    }
    words read(std::uint64_t addr, std::uint32_t n)
    {
        send_words(request(magic_read, addr, n));
        return receive(5 + n);
    }
    void write(std::uint64_t addr, const words &data)
    {
        send_words(request(magic_write, addr, static_cast<std::uint32_t>(data.size()), 0, data));
        receive(5);
    }
    // True when the server closes the connection within a few seconds.
    bool closed_by_server()
    {
        pollfd p{fd_, POLLIN, 0};
        char c;
        return poll(&p, 1, 5000) == 1 && recv(fd_, &c, 1, 0) <= 0;
    }
    // Leaves at once; with a reset instead of an orderly close when asked.
    void vanish(bool reset)
    {
        if (reset) {
            const linger hard{1, 0};
            setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        }
        close(fd_);
        fd_ = -1;
    }

  private:
    int fd_;
};

struct figures {
    long rss_kib = 0;
    int descriptors = 0;
};

class soak {
  public:
    soak(pid_t server, std::string board) : server_(server), board_(std::move(board)) {}

    unsigned long requests = 0, bad_requests = 0, connections = 0, failed_replies = 0, data_errors = 0;

    void expect_ok(client &c, const char *text)
    {
        const std::string reply = c.command(text);
        ++requests;
        if (reply.starts_with("cmd_status 2") || reply.starts_with("echo: "))
            return;
        if (failed_replies++ < 10)
            std::printf("  '%s' answered '%s'\n", text, reply.c_str());
    }

    // One connection of well-formed requests, about `n` of them.
    void good_connection(unsigned long n, bool all_commands)
    {
        client c;
        ++connections;
        if (all_commands)
            for (const char *text : every_command)
                expect_ok(c, text);
        const unsigned long end = requests + n;
        while (requests < end) {
            switch (next() % 4) {
            case 0:
                write_and_read_back(c);
                break;
            case 1:
                pipelined_echoes(c, 16);
                break;
            default:
                expect_ok(c, frequent_command[next() % std::size(frequent_command)]);
            }
        }
        // Measured with a client connected and idle, as at every point.
        if (!measured_first_ && requests >= 1000) {
            first_ = measure();
            measured_first_ = true;
        }
        last_ = measure();
    }

    // Connections that each bring one kind of bad request.
    void bad_connections()
    {
        // Requests the server can never serve: it closes the connection.
        const words never_served[] = {
            {0xdeadbeef, 0, 0, 0, 0},
            request(magic_read, ram, 16380),
            request(magic_command, 0, 8193),
            request(magic_write, ram, 0xffffffff),
        };
        for (const words &w : never_served) {
            client c;
            c.send_words(w);
            count_bad();
            if (!c.closed_by_server())
                die("a request that can never be served left its connection open");
        }
        // Cut short: a COMMAND whose text never comes whole, a header
        // broken off mid-word, a request after an answered echo.
        {
            client c;
            words w = qelt_test::command_request("qelt_sw_version and more words than sent");
            w.resize(8);
            c.send_words(w);
            c.vanish(false);
            count_bad();
        }
        {
            client c;
            send_all_bytes(c, wire_bytes(request(magic_read, ram, 4)), 7);
            c.vanish(true);
            count_bad();
        }
        {
            client c;
            expect_ok(c, "echo still");
            send_all_bytes(c, wire_bytes(request(magic_write, ram, 64, 0, words(64))), 40);
            c.vanish(false);
            count_bad();
        }
        // Leaves before reading its responses: the server's send fails.
        {
            client c;
            words w;
            for (int i = 0; i < 8; ++i) {
                const words r = request(magic_read, ram, 16379);
                w.insert(w.end(), r.begin(), r.end());
            }
            c.send_words(w);
            c.vanish(true);
            bad_requests += 8;
            requests += 8;
            ++connections;
        }
        check_alive();
    }

    void check_alive()
    {
        if (waitpid(server_, nullptr, WNOHANG) != 0)
            die("the server ended under a bad request");
    }

    const figures &first() const { return first_; }
    const figures &last() const { return last_; }

  private:
    void count_bad()
    {
        ++bad_requests;
        ++requests;
        ++connections;
        check_alive();
    }

    // The first `n` bytes of a request.
    static void send_all_bytes(client &c, const bytes &b, std::size_t n)
    {
        c.send_bytes(bytes(b.begin(), b.begin() + static_cast<long>(n)));
    }

    void write_and_read_back(client &c)
    {
        const std::uint32_t n = 1 + next() % 64;
        const std::uint32_t at = next() % (ram_words - n);
        words data(n);
        for (std::uint32_t &w : data)
            w = next();
        c.write(ram + 4ull * at, data);
        const words back = c.read(ram + 4ull * at, n);
        requests += 2;
        if (!std::equal(data.begin(), data.end(), back.begin() + 5))
            ++data_errors;
    }

    void pipelined_echoes(client &c, int n)
    {
        words batch;
        for (int i = 0; i < n; ++i) {
            const words r = qelt_test::command_request("echo " + std::to_string(i));
            batch.insert(batch.end(), r.begin(), r.end());
        }
        c.send_words(batch);
        for (int i = 0; i < n; ++i)
            if (c.command_reply() != "echo: " + std::to_string(i))
                ++failed_replies;
        requests += static_cast<unsigned long>(n);
    }

    figures measure()
    {
        // The monitoring workers hold a device open for a moment during
        // their passes: take the least of a few looks.
        figures f{1L << 40, 1 << 30};
        for (int i = 0; i < 5; ++i) {
            const auto [rss, board] = resident_kib(server_, board_);
            f.rss_kib = std::min(f.rss_kib, rss - board);
            f.descriptors = std::min(f.descriptors, open_descriptors(server_));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return f;
    }

    std::uint32_t next()
    {
        rng_ ^= rng_ << 13;
        rng_ ^= rng_ >> 17;
        rng_ ^= rng_ << 5;
        return rng_;
    }

    pid_t server_;
    std::string board_;
    std::uint32_t rng_ = 0x2545F491;
    figures first_{}, last_{};
    bool measured_first_ = false;
};

// On a failed run the server's last words tell what happened.
bool finished = false;
void show_server_output_on_failure()
{
    if (!finished)
        std::system("echo '--- last lines of qelt-cmdsrv:'; tail -n 20 /tmp/qelt-cmdsrv.out >&2");
}

} // namespace

int main(int argc, char **argv)
{
    const unsigned long target = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100000;
    pin_to_one_cpu();
    qelt_test::isolate_tmp();
    private_network();
    const std::string board_path = "/tmp/qelt-server-soak.sim";
    setenv("QELT_SIM_BOARD", board_path.c_str(), 1);
    qsim::board_map board = qsim::board_map::create(board_path, fitted);
    const pid_t server = start_server();
    std::atexit(show_server_output_on_failure);
    soak run(server, board_path);

    const auto start = std::chrono::steady_clock::now();
    {
        client c;
        run.expect_ok(c, "qelt_init_boot 1");
        run.expect_ok(c, "qelt_interrupt_task_start");
    }
    // Every command once in each tenth of the run; the rest is the mix.
    const unsigned long tenth = std::max(target / 10, 1000ul);
    for (unsigned long next_round = 0; run.requests < target;) {
        const bool all = run.requests >= next_round;
        if (all)
            next_round += tenth;
        run.good_connection(900, all);
        run.bad_connections();
    }
    // Still answering at the end, and still monitoring.
    run.good_connection(100, false);
    client last;
    const std::string status = last.command("qelt_read_psu 3");
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.check_alive();

    std::printf("qelt-cmdsrv soak on the simulated board, monitoring on\n");
    std::printf("  requests served:        %lu in %lu connections, %.0f s (%.0f/s)\n", run.requests,
                run.connections, seconds, static_cast<double>(run.requests) / seconds);
    std::printf("  bad requests:           %lu, the server still running after each\n", run.bad_requests);
    std::printf("  replies not successful: %lu, data read back wrong: %lu\n", run.failed_replies,
                run.data_errors);
    std::printf("  resident memory (KiB):  %ld after the first 1000 requests, %ld at the end\n",
                run.first().rss_kib, run.last().rss_kib);
    std::printf("  open descriptors:       %d after the first 1000 requests, %d at the end\n",
                run.first().descriptors, run.last().descriptors);
    std::printf("  last reply:             %s\n", status.c_str());

    kill(server, SIGTERM);
    int raw = 0;
    waitpid(server, &raw, 0);
    // Resident memory may move by a few pages (the C library's buffers,
    // the workers' stacks as they are touched); anything beyond that grows
    // with the requests.
    constexpr long rss_slack_kib = 64;
    const bool ok = run.requests >= target && run.failed_replies == 0 && run.data_errors == 0 &&
                    status.starts_with("cmd_status 2 psu") &&
                    run.last().descriptors == run.first().descriptors &&
                    run.last().rss_kib <= run.first().rss_kib + rss_slack_kib;
    finished = ok;
    std::printf("%s\n", ok ? "soak: ok" : "soak: FAILED");
    return ok ? 0 : 1;
}
