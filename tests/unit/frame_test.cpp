// Dump utilities and the log gate of the library.
#include "sim_fixture.h"

#include <qelt/qelt.h>

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
    auto lines = [](uint8_t level) {
        qelt_log_level = level;
        std::string out = capture_stdout([] { qelt_framesync_delay(6); });
        qelt_log_level = 0;
        return out;
    };
    EXPECT_EQ(lines(0), "");
    const std::string errors = lines(1);
    EXPECT_EQ(errors.rfind("Error : qelt_framesync_delay(", 0), 0u) << errors;
    EXPECT_NE(errors.find(") :\"Framesync Delay value 6 should be less than 5\\n\"\n"), std::string::npos);
    EXPECT_EQ(errors.find("INFO"), std::string::npos);
    EXPECT_EQ(lines(2), errors);
    for (uint8_t level : {3, 4, 200}) {
        const std::string all = lines(level);
        EXPECT_EQ(all.rfind("INFO : qelt_framesync_delay(", 0), 0u) << int(level);
        EXPECT_NE(all.find(") :\"Framesync Counter Readback = 5\\n\"\n"), std::string::npos);
        EXPECT_NE(all.find("Error : "), std::string::npos);
    }
}

} // namespace
