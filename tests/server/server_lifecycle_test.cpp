// Start-up, stop signals and connection endings of the built server.
#include "server_sandbox.h"

#include <signal.h>

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

    // A command the server runs finds neither of its sockets open.
    raw_client conn;
    const std::string fds = conn.reply("qelt_system_call ls -l /proc/self/fd");
    EXPECT_NE(fds.find("cmd_status 2 resp"), std::string::npos) << fds;
    EXPECT_EQ(fds.find("socket:"), std::string::npos) << fds;
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
    EXPECT_NE(run_program({"ip", "-4", "addr", "show", "eth0"}, {"LD_PRELOAD="}).out.find("10.10.1.7/24"),
              std::string::npos);
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
         conn.reset();
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
