// Start-up, stop signals and connection endings of the built server.
#include "server_sandbox.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <future>
#include <optional>
#include <thread>

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

// A stop while the module boots ends start-up before the server claims
// eth0, publishes an address or starts anything; left alone, it waits and
// then assigns its fixed address.
TEST_F(server_without_address, StopsWhileWaitingOrAssignsTheFixedAddress)
{
    const auto eth0_addresses = [] {
        return run_program({"ip", "-4", "addr", "show", "eth0"}, {"LD_PRELOAD="}).out;
    };
    start_server(false, "--- hwc: waiting for valid IPv4 address on eth0 interface\n");
    signal_server(SIGTERM);
    EXPECT_EQ(wait_exit(), 0) << output();
    EXPECT_NE(output().find("--- hwc: stopped during start-up\n"), std::string::npos) << output();
    EXPECT_EQ(eth0_addresses().find("inet"), std::string::npos);
    EXPECT_EQ(board.reg(spis_status), 0u);
    EXPECT_FALSE(led0_lit());

    start_server();
    EXPECT_EQ(occurrences(output(), "--- hwc: waiting for valid IPv4 address on eth0 interface\n"), 5u);
    EXPECT_NE(output().find("*** hwc: timed-out waiting for IP4 address on eth0 interface\n"
                            "*** hwc: setup static ip address : 10.10.1.7, port : 4321\n"),
              std::string::npos);
    EXPECT_NE(eth0_addresses().find("10.10.1.7/24"), std::string::npos);
    EXPECT_EQ(board.reg(spis_status + 8), 0x07010a0au);
}

// A host on the far end of eth0: a network namespace of its own, held by
// a parked thread, with the peer end of eth0 moved into it.
class remote_host {
  public:
    remote_host()
    {
        std::promise<pid_t> ready;
        thread_ = std::thread([this, &ready] {
            if (unshare(CLONE_NEWNET) == 0)
                ns_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
            ready.set_value(gettid());
            leave_.get_future().wait();
        });
        const pid_t tid = ready.get_future().get();
        EXPECT_GE(ns_, 0);
        EXPECT_EQ(run_quietly({"ip", "link", "set", "eth0-peer", "netns", std::to_string(tid)}), 0);
        EXPECT_EQ(run_quietly({"ip", "link", "set", "eth0", "up"}), 0);
        inside([] {
            EXPECT_EQ(run_quietly({"ip", "addr", "add", "192.168.7.3/24", "dev", "eth0-peer"}), 0);
            EXPECT_EQ(run_quietly({"ip", "link", "set", "eth0-peer", "up"}), 0);
        });
    }
    ~remote_host()
    {
        leave_.set_value();
        thread_.join();
        close(ns_);
    }

    // Runs fn in the host's namespace: the sockets it opens and the
    // programs it starts are the host's.
    template <typename Fn> void inside(Fn fn)
    {
        const int home = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(setns(ns_, CLONE_NEWNET), 0);
        fn();
        ASSERT_EQ(setns(home, CLONE_NEWNET), 0);
        close(home);
    }

    // The link goes dark as when power is lost: no FIN, no RST, nothing.
    void vanish()
    {
        inside([] { EXPECT_EQ(run_quietly({"ip", "link", "set", "eth0-peer", "down"}), 0); });
    }

  private:
    std::thread thread_;
    std::promise<void> leave_;
    int ns_ = -1;
};

// A host that vanishes frees the server for the next one within a minute:
// an idle one through the keepalive probes, one that never acknowledges
// its reply through the limit on unacknowledged data. The parameter is
// what the host sent last.
class vanished_host : public server_sandbox, public testing::WithParamInterface<const char *> {};

TEST_P(vanished_host, GivesWayToTheNextHost)
{
    start_server();
    remote_host host;
    std::optional<raw_client> gone;
    host.inside([&] { gone.emplace("192.168.7.2"); });
    ASSERT_EQ(gone->command("echo there"), command_response("echo: there"));
    if (*GetParam() != '\0') {
        gone->send_words(command_request(GetParam()));
        ASSERT_TRUE(printed(std::string("hwc: cmd = ") + GetParam()));
    }
    host.vanish();
    raw_client next;
    next.send_words(command_request("echo next"));
    EXPECT_EQ(next.receive_words(command_response("echo: next").size(), 60s), command_response("echo: next"))
        << output();
}

INSTANTIATE_TEST_SUITE_P(, vanished_host, testing::Values("", "qelt_system_call sleep 2; echo late"),
                         [](const testing::TestParamInfo<const char *> &i) {
                             return *i.param != '\0' ? "ReplyNeverAcknowledged" : "Idle";
                         });

// Errors that accept() passes on from a connection that failed before it
// was taken, or a signal, end the wait for that connection only.
TEST_F(server_lifecycle, FailedAcceptOfOneConnectionIsRetried)
{
    start_server();
    for (const char *error : {"EINTR", "ECONNABORTED", "ENETDOWN"}) {
        SCOPED_TRACE(error);
        {
            raw_client served; // the accept that follows it fails
            ASSERT_EQ(served.command("echo a"), command_response("echo: a"));
            sim({"fault", "accept", error, "count=1"});
        }
        EXPECT_EQ(raw_client().command("echo b"), command_response("echo: b")) << output();
    }
    EXPECT_NE(output().find("!!! hwc: accept failed (Software caused connection abort)"), std::string::npos);
    {
        raw_client served; // running out of descriptors is not a passing error
        ASSERT_EQ(served.command("echo a"), command_response("echo: a"));
        sim({"fault", "accept", "EMFILE", "count=1"});
    }
    EXPECT_EQ(wait_exit(), 255);
    EXPECT_NE(output().find("*** hwc: failed accepting connection\n"), std::string::npos);
}

// A stop signal ends the server whether a client is connected or it waits
// for one, the LED out; a SIGHUP ignored when it started stays ignored.
TEST_F(server_lifecycle, EndsAsSignalled)
{
    start_server(true);
    raw_client conn;
    ASSERT_TRUE(printed("--- hwc: connected"));
    signal_server(SIGHUP);
    ASSERT_EQ(conn.command("echo still"), command_response("echo: still"));
    signal_server(SIGTERM);
    EXPECT_EQ(wait_exit(), 0) << output();
    EXPECT_NE(output().find("--- hwc: Closing socket connections\n*** hwc: error=4 - closing connection\n"
                            "--- hwc: closing socket\n"),
              std::string::npos)
        << output();
    EXPECT_FALSE(led0_lit());

    start_server();
    signal_server(SIGINT);
    EXPECT_EQ(wait_exit(), 255) << output();
    EXPECT_NE(output().find("--- hwc: Closing socket connections\n*** hwc: failed accepting connection\n"),
              std::string::npos)
        << output();
    EXPECT_FALSE(led0_lit());
}

} // namespace
} // namespace qelt_test
