// The built library exports exactly the names of its version script, under
// its soname.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace {

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
    std::string name, type;
    while (lines >> name >> type) {
        std::string rest;
        std::getline(lines, rest);
        if (type != "A")
            exported.insert(name.substr(0, name.find('@')));
    }
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

} // namespace
