// Dump utilities and the log gate of the library.
#include "sim_fixture.h"

#include <qelt/qelt.h>

#include <regex>

namespace {

using qelt_test::capture_stdout;

TEST(HexDump, PadsTheLastLineAndShowsPrintableCharacters)
{
    const auto dump = [](const std::string &bytes, uint64_t per_line) {
        return capture_stdout([&] { hex_dump(bytes.data(), bytes.size(), per_line, "X"); });
    };
    EXPECT_EQ(dump("ABCDE", 4), "X | 41 42 43 44  |ABCD|\nX | 45 __ __ __  |E|\n");
    EXPECT_EQ(dump("ABCD", 4), "X | 41 42 43 44  |ABCD|\n");
    EXPECT_EQ(dump(std::string("\x7f\x1f \x7e", 4), 4), "X | 7F 1F 20 7E  |.. ~|\n");
    EXPECT_EQ(dump("", 4), "X | ");
    EXPECT_EQ(dump("AB", 0), "X | 41  |A|\nX | 42  |B|\n"); // zero columns: one byte a line
}

TEST(DumpBuff, PrintsTheBytesAfterTheLengthHeader)
{
    const uint8_t buf[] = {0, 3, 'a', 'b', 'c'};
    EXPECT_EQ(capture_stdout([&] { dump_buff(buf, 5); }), "abc");
    for (uint32_t n = 0; n <= 2; ++n)
        EXPECT_EQ(capture_stdout([&] { dump_buff(buf, n); }), "") << n;
}

// A frame-sync delay above the counter reports one information line and one
// error; the gate decides which of them appear.
TEST(LogLevel, GatesEachKindOfLine)
{
    qelt_test::sim_board board;
    board.reg(0xA0080004) = 5;
    const std::regex error(
        R"(Error : qelt_framesync_delay\(\d+\) :"Framesync Delay value 6 should be less than 5\\n"\n)");
    const struct {
        int level;
        bool info, errors;
    } gates[] = {{0, false, false}, {1, false, true}, {2, false, true}, {3, true, true}, {200, true, true}};
    for (const auto &[level, info, errors] : gates) {
        qelt_log_level = static_cast<uint8_t>(level);
        const std::string out = capture_stdout([] { qelt_framesync_delay(6); });
        EXPECT_EQ(out.find("INFO : qelt_framesync_delay(") != std::string::npos, info) << level;
        EXPECT_EQ(std::regex_search(out, error), errors) << level << out;
    }
    qelt_log_level = 0;
}

} // namespace
