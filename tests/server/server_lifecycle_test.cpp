// Start-up, stop signals and connection endings of the built server.
#include "server_sandbox.h"

#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <dirent.h>
#include <signal.h>

#include <fstream>
#include <functional>
#include <sstream>

namespace qelt_test {
namespace {

constexpr std::uint64_t spis_status = 0xa0020020;

std::size_t occurrences(const std::string &text, const std::string &what)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

std::uint32_t eth0_ipv4()
{
    ifaddrs *list = nullptr;
    std::uint32_t found = 0;
    if (getifaddrs(&list) != 0)
        return 0;
    for (const ifaddrs *i = list; i != nullptr; i = i->ifa_next)
        if (i->ifa_addr != nullptr && i->ifa_addr->sa_family == AF_INET && std::string(i->ifa_name) == "eth0")
            found = ntohl(reinterpret_cast<const sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr);
    freeifaddrs(list);
    return found;
}

// Descriptors of a process that are sockets, with their open flags.
std::vector<unsigned> socket_flags(pid_t pid)
{
    std::vector<unsigned> flags;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return flags;
    while (const dirent *e = readdir(d)) {
        char target[256] = {};
        const std::string link = dir + "/" + e->d_name;
        if (readlink(link.c_str(), target, sizeof target - 1) <= 0 ||
            std::string(target).rfind("socket:", 0) != 0)
            continue;
        std::ifstream info("/proc/" + std::to_string(pid) + "/fdinfo/" + e->d_name);
        std::string key;
        unsigned value = 0;
        while (info >> key)
            if (key == "flags:" && info >> std::oct >> value)
                flags.push_back(value);
    }
    closedir(d);
    return flags;
}

using server_lifecycle = server_sandbox;

TEST_F(server_lifecycle, PublishesItsAddressAndKeepsItsSocketsFromCommands)
{
    start_server();
    EXPECT_EQ(occurrences(output(), "--- hwc: Server address (eth0) : 192.168.7.2\n"), 1u);
    EXPECT_EQ(occurrences(output(), "waiting for valid IPv4"), 0u);
    EXPECT_EQ(board.reg(spis_status), 3u);
    EXPECT_EQ(board.reg(spis_status + 4), 1024u);
    EXPECT_EQ(board.reg(spis_status + 8), 0x0207a8c0u);
    EXPECT_TRUE(led0_lit());

    raw_client conn;
    ASSERT_EQ(conn.command("echo up"), command_response("echo: up"));
    const std::vector<unsigned> flags = socket_flags(server_pid());
    ASSERT_EQ(flags.size(), 2u) << "listening and client socket";
    for (const unsigned f : flags)
        EXPECT_NE(f & O_CLOEXEC, 0u);
}

class server_without_address : public server_sandbox {
  protected:
    std::string eth0_address() const override { return ""; }
};

TEST_F(server_without_address, WaitsThenAssignsTheFixedAddress)
{
    start_server();
    const std::string out = output();
    EXPECT_EQ(occurrences(out, "--- hwc: waiting for valid IPv4 address on eth0 interface\n"), 5u);
    EXPECT_NE(out.find("*** hwc: timed-out waiting for IP4 address on eth0 interface\n"
                       "*** hwc: setup static ip address : 10.10.1.7, port : 4321\n"),
              std::string::npos);
    EXPECT_EQ(eth0_ipv4(), 0x0a0a0107u);
    EXPECT_EQ(board.reg(spis_status + 8), 0x07010a0au);
}

struct ending_case {
    const char *name;
    bool ignore_sighup;
    void (*act)(server_sandbox &, raw_client &);
    int status;
    bool led_lit;
    const char *said;
};

const ending_case endings[] = {
    {"SigtermWhileConnected", false, [](server_sandbox &s, raw_client &) { s.signal_server(SIGTERM); }, 0,
     false,
     "--- hwc: Closing socket connections\n*** hwc: error=4 - closing connection\n--- hwc: closing socket\n"},
    {"SigintWhileWaiting", false,
     [](server_sandbox &s, raw_client &conn) {
         conn.hang_up();
         ASSERT_TRUE(s.printed("closing connection\n--- hwc: waiting for connection"));
         s.signal_server(SIGINT);
     },
     255, false, "--- hwc: Closing socket connections\n*** hwc: failed accepting connection\n"},
    {"SighupIgnoredAtStartStaysIgnored", true,
     [](server_sandbox &s, raw_client &conn) {
         s.signal_server(SIGHUP);
         ASSERT_EQ(conn.command("echo still"), command_response("echo: still"));
         s.signal_server(SIGTERM);
     },
     0, false, "*** hwc: error=4 - closing connection\n"},
};

void PrintTo(const ending_case &c, std::ostream *os) { *os << c.name; }

class server_endings : public server_sandbox, public testing::WithParamInterface<ending_case> {};

TEST_P(server_endings, EndsAsSignalledOrReset)
{
    const ending_case &c = GetParam();
    start_server(c.ignore_sighup);
    raw_client conn;
    ASSERT_TRUE(printed("--- hwc: connected"));
    c.act(*this, conn);
    EXPECT_EQ(wait_exit(), c.status) << output();
    EXPECT_EQ(led0_lit(), c.led_lit);
    EXPECT_NE(output().find(c.said), std::string::npos) << output();
}

INSTANTIATE_TEST_SUITE_P(, server_endings, testing::ValuesIn(endings),
                         [](const testing::TestParamInfo<ending_case> &i) { return i.param.name; });

} // namespace
} // namespace qelt_test
