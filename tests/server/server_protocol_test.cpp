// The word protocol as a client sees it, against the built server on a
// simulated board.
#include "server_sandbox.h"

namespace qelt_test {
namespace {

constexpr std::uint32_t READ = 0xda010001, WRITE = 0xda010002, COMMAND = 0xda010003;
constexpr std::uint32_t READ_OK = 0xad010001, WRITE_OK = 0xad010002;
constexpr std::uint64_t ram = 0x10000000; // 16 pages of plain memory on the simulated board
constexpr std::uint32_t page_words = 1024;

std::uint32_t pattern(std::uint64_t addr) { return static_cast<std::uint32_t>(addr * 2654435761u); }

std::vector<std::uint32_t> pattern_words(std::uint64_t addr, std::uint32_t n)
{
    std::vector<std::uint32_t> w;
    for (std::uint32_t i = 0; i < n; ++i)
        w.push_back(pattern(addr + 4 * i));
    return w;
}

std::vector<std::uint32_t> operator+(std::vector<std::uint32_t> a, const std::vector<std::uint32_t> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class server_protocol : public server_sandbox {
  protected:
    void SetUp() override
    {
        server_sandbox::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        for (std::uint32_t i = 0; i < 16 * page_words; ++i)
            board.reg(ram + 4 * i) = pattern(ram + 4 * i);
        start_server();
    }
};

TEST_F(server_protocol, AnswersEveryRequestOfASendInOrder)
{
    const std::uint64_t page_end = ram + 4 * page_words;
    const struct {
        const char *name;
        std::vector<std::uint32_t> sent; // in one send
        std::vector<std::uint32_t> expected;
    } cases[] = {
        {"read of nothing", request(READ, ram, 0), request(READ_OK, ram, 0)},
        {"read across a page end", request(READ, page_end - 8, 4),
         request(READ_OK, page_end - 8, 4) + pattern_words(page_end - 8, 4)},
        {"options echoed, only type 0 served", request(READ, ram, 2, 0x01abcdef),
         request(READ_OK, ram, 2, 0x01abcdef)},
        {"bits below the memory type ignored", request(READ, ram, 1, 0x00ffffff),
         request(READ_OK, ram, 1, 0x00ffffff) + pattern_words(ram, 1)},
        {"unaligned read touches nothing", request(READ, ram + 2, 2), request(READ_OK, ram + 2, 2)},
        {"read then command in one response area", request(READ, ram, 8000) + command_request("echo x"),
         request(READ_OK, ram, 8000) + pattern_words(ram, 8000) + command_response("echo: x")},
        {"requests left for lack of room are served at once",
         request(READ, ram, 16379) + request(READ, ram, 16379) + command_request("echo y"),
         request(READ_OK, ram, 16379) + pattern_words(ram, 16379) + request(READ_OK, ram, 16379) +
             pattern_words(ram, 16379) + command_response("echo: y")},
        {"empty command", request(COMMAND, 0, 1, 0, {0}), request(0xad010003, 0, 1, 0, {0x00000020})},
        {"blank command", command_request(" \t\n\v\f\r "), command_response(" ")},
        {"longest command", command_request("qelt_sw_version" + std::string(32752, ' ')),
         command_response("cmd_status 2 version 1.3")},
        {"echo takes one word", command_request("echo\f\vhello\r\nworld"), command_response("echo: hello")},
        {"echo needs no blank", command_request("echohello"), command_response("echo: hello")},
        {"bare echo goes to the interpreter", command_request("echo"), command_response(" ")},
        {"text beyond the received words is not read",
         command_request("echo abcdefghijkl") +
             request(COMMAND, 0, 2, 0, {text_words("echo")[0], text_words("Xhi!")[0]}),
         command_response("echo: abcdefghijkl") + command_response("echo: Xhi!")},
        {"command words 1, 2 and 4 are not echoed",
         request(COMMAND, 0x1234, 2, 0x5678, text_words("echo hi")), command_response("echo: hi")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        raw_client conn;
        conn.send_words(c.sent);
        EXPECT_EQ(conn.receive_words(c.expected.size()), c.expected);
        EXPECT_TRUE(conn.receive_words(1, 20ms).empty());
    }
}

TEST_F(server_protocol, WriteLandsWordByWordAndOnlyWhenComplete)
{
    const std::uint64_t at = ram + 4 * page_words - 4; // crosses into the next page
    raw_client conn;
    const auto whole = wire_bytes(request(WRITE, at, 2, 0, {0x11223344, 0x55667788}));
    // Header and one data word now, the last word byte by byte.
    conn.send_bytes({whole.begin(), whole.end() - 4});
    EXPECT_TRUE(conn.receive_words(1, 200ms).empty());
    EXPECT_EQ(board.reg(at), pattern(at));
    for (auto b = whole.end() - 4; b != whole.end(); ++b)
        conn.send_bytes({*b});
    EXPECT_EQ(conn.receive_words(5), request(WRITE_OK, at, 2));
    EXPECT_EQ(board.reg(at), 0x11223344u);
    EXPECT_EQ(board.reg(at + 4), 0x55667788u);

    // Unaligned or of another memory type: answered, nothing written.
    conn.send_words(request(WRITE, ram + 1, 1, 0, {0xdeadbeef}) +
                    request(WRITE, ram, 1, 0x02000000, {0xdeadbeef}));
    EXPECT_EQ(conn.receive_words(10), request(WRITE_OK, ram + 1, 1) + request(WRITE_OK, ram, 1, 0x02000000));
    EXPECT_EQ(board.reg(ram), pattern(ram));
    EXPECT_EQ(board.reg(ram + 4), pattern(ram + 4));

    // The largest WRITE fills the ring exactly. Sent while the ring holds
    // most of one, the rest comes in reads no larger than the ring's room.
    const std::vector<std::uint32_t> data(16379, 0x5a5aa5a5);
    const auto largest = wire_bytes(request(WRITE, ram, 16379, 0, data));
    std::vector<std::uint8_t> first = wire_bytes(command_request("echo a"));
    first.insert(first.end(), largest.begin(), largest.begin() + 40000);
    conn.send_bytes(first);
    ASSERT_EQ(conn.receive_words(7), command_response("echo: a"));
    std::vector<std::uint8_t> rest(largest.begin() + 40000, largest.end());
    rest.insert(rest.end(), largest.begin(), largest.end());
    conn.send_bytes(rest);
    EXPECT_EQ(conn.receive_words(10), request(WRITE_OK, ram, 16379) + request(WRITE_OK, ram, 16379));
    EXPECT_EQ(board.reg(ram + 4 * 16378), 0x5a5aa5a5u);
}

TEST_F(server_protocol, RequestThatCanNeverBeServedEndsOnlyItsConnection)
{
    const struct {
        const char *name;
        std::vector<std::uint32_t> request;
        const char *message;
    } cases[] = {
        {"unknown magic", request(0xda010004, 0, 0), "*** hwc: Received invalid message"},
        {"read beyond the response area", request(READ, ram, 16380), "can never be served"},
        {"write beyond the ring", request(WRITE, ram, 16380), "can never be served"},
        {"command beyond the text buffer", request(COMMAND, 0, 8193), "can never be served"},
        {"length that wraps the sums", request(WRITE, ram, 0xfffffffc), "can never be served"},
        // Memory that /dev/mem refuses to map ends the connection, not the server.
        {"read the board does not decode", request(READ, 0x20000000, 1),
         "Mapping physical to virtual failed"},
        {"write at 2^63", request(WRITE, 1ull << 63, 1, 0, {1}), "address=0x8000000000000000"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        raw_client conn;
        conn.send_words(command_request("echo before") + c.request + command_request("echo after"));
        EXPECT_EQ(conn.receive_words(9), command_response("echo: before"));
        EXPECT_TRUE(conn.receive_words(1).empty()) << "not closed";
        EXPECT_TRUE(printed(c.message));
        EXPECT_EQ(raw_client().command("echo next"), command_response("echo: next"));
    }
}

TEST_F(server_protocol, ClientGoneDoesNotEndTheServer)
{
    {
        raw_client gone; // before its responses
        gone.send_words(request(READ, ram, 16379) + request(READ, ram, 16379) + request(READ, ram, 16379));
    }
    // Closed as soon as the server writes to it, or reset before the server
    // has read everything (a slow server, as under emulation): either way
    // only this connection ends.
    ASSERT_TRUE(printed(" closing connection\n--- hwc: waiting for connection"));
    {
        raw_client reset; // mid-request, resetting its connection
        reset.send_words(request(WRITE, ram, 10, 0, {1, 2}));
        reset.reset();
    }
    ASSERT_TRUE(printed("*** hwc: error=104 - closing connection\n--- hwc: waiting for connection"));
    EXPECT_EQ(raw_client().command("echo alive"), command_response("echo: alive"));
    EXPECT_EQ(wait_exit(0ms), -1);
}

} // namespace
} // namespace qelt_test
