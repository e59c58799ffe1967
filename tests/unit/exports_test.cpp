// The built library exports exactly the names of its version script, under
// its soname.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

namespace {

std::string output_of(const std::string &command)
{
    std::unique_ptr<FILE, int (*)(FILE *)> pipe(popen(command.c_str(), "r"), pclose);
    std::string text;
    std::array<char, 4096> buf{};
    std::size_t n;
    while (pipe && (n = fread(buf.data(), 1, buf.size(), pipe.get())) > 0)
        text.append(buf.data(), n);
    return text;
}

// The names the version script makes global, each with its version node:
// the library's interface.
std::map<std::string, std::string> script_names()
{
    std::ifstream in(QELT_VERSION_SCRIPT);
    std::map<std::string, std::string> names;
    std::string node, previous;
    bool global = false;
    for (std::string word; in >> word; previous = word) {
        if (word == "{")
            node = previous;
        if (word == "global:" || word == "local:" || word.starts_with('}'))
            global = word == "global:";
        else if (global && word.ends_with(';'))
            names[word.substr(0, word.size() - 1)] = node;
    }
    return names;
}

TEST(Exports, OnlyTheVersionScriptsNamesUnderTheSoname)
{
    // Defined dynamic symbols with their version, without the nodes
    // themselves.
    const std::string listing =
        output_of(std::string("nm -D --defined-only --format=posix ") + QELT_LIBRARY + " 2>&1");
    std::map<std::string, std::string> exported;
    std::istringstream lines(listing);
    std::string name, type;
    while (lines >> name >> type) {
        std::string rest;
        std::getline(lines, rest);
        const std::size_t at = name.find('@');
        if (type != "A")
            exported[name.substr(0, at)] =
                at == std::string::npos ? "" : name.substr(name.find_last_of('@') + 1);
    }
    // A helper left visible, a listed name that nothing defines, or a name
    // under another node than the script's shows.
    EXPECT_EQ(exported, script_names());
    EXPECT_FALSE(exported.empty()) << listing;
    // Names added after 1.1 come in a node of their own, so that a program
    // needing them refuses to load against an older library.
    EXPECT_EQ(exported["qelt_board_lock"], "QELT_1.2");
    EXPECT_EQ(exported["qelt_board_unlock"], "QELT_1.2");

    const std::string dynamic = output_of(std::string("readelf -d ") + QELT_LIBRARY);
    EXPECT_NE(dynamic.find("Library soname: [libqelt.so.1.1]"), std::string::npos) << dynamic;
}

} // namespace
