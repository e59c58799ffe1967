// The library's dump utilities.
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

} // namespace
