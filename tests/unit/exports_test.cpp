// The built library exports exactly the names of its version script, under
// its soname.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>

namespace {

std::string output_of(const std::string &command)
{
    std::unique_ptr<FILE, int (*)(FILE *)> pipe(popen(command.c_str(), "r"), pclose);
    std::string text;
    for (int c; pipe && (c = std::fgetc(pipe.get())) != EOF;)
        text += static_cast<char>(c);
    return text;
}

TEST(Exports, OnlyTheVersionScriptsNamesUnderTheSoname)
{
    // The names the version script makes global: the library's interface.
    std::ifstream script(QELT_VERSION_SCRIPT);
    std::set<std::string> listed;
    bool global = false;
    for (std::string word; script >> word;) {
        if (word == "global:" || word == "local:")
            global = word == "global:";
        else if (global && word.ends_with(';'))
            listed.insert(word.substr(0, word.size() - 1));
    }
    // Defined dynamic symbols, without the version node itself. A helper
    // left visible, or a listed name that nothing defines, shows.
    std::istringstream lines(output_of(std::string("nm -D --defined-only --format=posix ") + QELT_LIBRARY));
    std::set<std::string> exported;
    for (std::string name, type, rest; lines >> name >> type && std::getline(lines, rest);)
        if (type != "A")
            exported.insert(name.substr(0, name.find('@')));
    EXPECT_FALSE(exported.empty());
    EXPECT_EQ(exported, listed);

    const std::string dynamic = output_of(std::string("readelf -d ") + QELT_LIBRARY);
    EXPECT_NE(dynamic.find("Library soname: [libqelt.so.1.1]"), std::string::npos) << dynamic;
}

} // namespace
