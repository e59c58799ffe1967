// The built library: exactly the names of its version script exported under
// its soname, and its dump utilities.
#include "sim_fixture.h"

#include <qelt/qelt.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace {

using qelt_test::capture_stdout;

std::string output_of(const std::string &command)
{
    std::string text;
    if (FILE *pipe = popen(command.c_str(), "r")) {
        for (int c; (c = std::fgetc(pipe)) != EOF;)
            text += static_cast<char>(c);
        pclose(pipe);
    }
    return text;
}

// The names the version script makes global: the library's interface.
std::set<std::string> script_names()
{
    std::ifstream in(QELT_VERSION_SCRIPT);
    std::set<std::string> names;
    bool global = false;
    for (std::string word; in >> word;) {
        if (word == "global:" || word == "local:" || word.starts_with('}'))
            global = word == "global:";
        else if (global && word.ends_with(';'))
            names.insert(word.substr(0, word.size() - 1));
    }
    return names;
}

TEST(Exports, OnlyTheVersionScriptsNamesUnderTheSoname)
{
    // Defined dynamic symbols, without the version node itself.
    const std::string listing =
        output_of(std::string("nm -D --defined-only --format=posix ") + QELT_LIBRARY + " 2>&1");
    std::set<std::string> exported;
    std::istringstream lines(listing);
    for (std::string name, type, rest; lines >> name >> type && std::getline(lines, rest);)
        if (type != "A")
            exported.insert(name.substr(0, name.find('@')));
    // A helper left visible, or a listed name that nothing defines, shows.
    EXPECT_EQ(exported, script_names());
    EXPECT_FALSE(exported.empty()) << listing;
    // Names added after 1.1 come in a node of their own, so that a program
    // needing them refuses to load against an older library.
    for (const char *name : {"qelt_board_lock@@QELT_1.2 ", "qelt_board_unlock@@QELT_1.2 "})
        EXPECT_NE(listing.find(name), std::string::npos) << name << "\n" << listing;

    const std::string dynamic = output_of(std::string("readelf -d ") + QELT_LIBRARY);
    EXPECT_NE(dynamic.find("Library soname: [libqelt.so.1.1]"), std::string::npos) << dynamic;
}

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
