#include "slice_cfg.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

using slice_cfg::create_file;
using slice_cfg::sync_file;

const std::string zero_row = "0,0,0,0,0,0,0,0,0,0,0,0\n";

std::string repeat(const std::string &text, int times)
{
    return times > 0 ? text + repeat(text, times - 1) : "";
}

void write_text(const std::string &text) { std::ofstream(slice_cfg_path) << text; }

std::string read_all(std::ifstream &&in) { return std::string(std::istreambuf_iterator<char>(in), {}); }

std::string read_text() { return read_all(std::ifstream(slice_cfg_path)); }

// The configuration file and anything written beside it (its temporary
// copies share its name as a prefix).
std::vector<std::string> cfg_entries()
{
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator("/tmp"))
        if (e.path().filename().string().starts_with("qelt-slice-cfg"))
            names.push_back(e.path().filename());
    return names;
}

// Everything the file stores about a slice, in one comparable line.
std::string settings(const qelt_slice &s)
{
    std::ostringstream text;
    text << "present " << +s.present << " init " << +s.initialised << " rails " << +s.vdd_on << +s.v3p3_on
         << +s.v5p0_on << " vdd " << s.vdd_voltage << " vdcdc " << s.vdcdc_voltage << " dsa";
    for (int j = 0; j < 8; ++j)
        text << ' ' << s.dsa_value[j / 2][j % 2] << '/' << s.dsa_step[j / 2][j % 2];
    return text.str();
}

// A fitted slice with a different setting in every stored field: values
// base, base + 1, ... by channel and stage, steps 0.25 and 0.5 by stage.
void fit(qelt_slice &s, float base, int rails = 6)
{
    s.present = s.initialised = 1;
    s.vdd_on = (rails >> 2) & 1;
    s.v3p3_on = (rails >> 1) & 1;
    s.v5p0_on = rails & 1;
    s.vdd_voltage = base;
    for (int j = 0; j < 8; ++j) {
        s.dsa_value[j / 2][j % 2] = base + static_cast<float>(j);
        s.dsa_step[j / 2][j % 2] = 0.25f * static_cast<float>(j % 2 + 1);
    }
}

class SliceCfg : public testing::Test {
  protected:
    void SetUp() override { std::remove(slice_cfg_path); }

    std::vector<qelt_slice> table = std::vector<qelt_slice>(QELT_SLICE_COUNT);
};

// Rows as long as they come, malformed fields as zero; a row cut short or
// not marked 1 (0, 2, text, an empty line), a missing file and one that
// ends before the regulator's line change nothing.
TEST_F(SliceCfg, ReadsRowsWholeAndOnlyCompleteOnes)
{
    for (int i = 0; i < QELT_SLICE_COUNT; ++i)
        fit(table[i], static_cast<float>(i));
    table[8].vdcdc_voltage = 9.9f;
    const std::vector<qelt_slice> before = table;
    EXPECT_EQ(sync_file(table.data()), 1);
    const std::string long_row = "1,1,5,12.50,31.75,10.25,30.00,10.50,29.00,11.00,28.00,11.25,27.00,11.50,"
                                 "26.00,11.75,25.00,12.00,24.00,12.25\n";
    // Thousands of digits: longer than any line buffer a reader might pick.
    const std::string huge_row =
        "1,0,2,  3.3" + std::string(5000, '0') + repeat(",1." + std::string(500, '0'), 16) + "\n";
    const std::string malformed = "1,yes,x, 7.5,abc,3.25dB" + repeat(",1", 14) + "\n";
    write_text(long_row + huge_row + long_row + malformed + zero_row + "2" + repeat(",1", 19) + "\nx" +
               repeat(",1", 19) + "\n\n1,0,7,3.30,1.00\n");

    ASSERT_EQ(sync_file(table.data()), 0);
    for (int i : {0, 2}) {
        EXPECT_EQ(settings(table[i]), "present 1 init 1 rails 101 vdd 12.5 vdcdc 0 dsa 31.75/10.25 30/10.5 "
                                      "29/11 28/11.25 27/11.5 26/11.75 25/12 24/12.25")
            << "slice " << i;
    }
    EXPECT_EQ(settings(table[1]),
              "present 1 init 0 rails 010 vdd 3.3 vdcdc 0 dsa 1/1 1/1 1/1 1/1 1/1 1/1 1/1 1/1");
    EXPECT_EQ(settings(table[3]),
              "present 1 init 0 rails 000 vdd 7.5 vdcdc 0 dsa 0/3.25 1/1 1/1 1/1 1/1 1/1 1/1 1/1");
    for (int i = 4; i < QELT_SLICE_COUNT; ++i)
        EXPECT_EQ(settings(table[i]), settings(before[i])) << "slice " << i;
}

TEST_F(SliceCfg, ReplacesTheFileWholeOrNotAtAll)
{
    fit(table[0], 1.0f);
    ASSERT_EQ(create_file(table.data()), 0);
    const std::string first = read_text();
    std::ifstream reader(slice_cfg_path);
    table[0].present = 0;
    ASSERT_EQ(create_file(table.data()), 0);
    // A reader that opened the old file still sees all of it.
    EXPECT_EQ(read_all(std::move(reader)), first);
    EXPECT_EQ(read_text(), repeat(zero_row, 9) + "0.00"); // nothing present
    struct stat st {};
    ASSERT_EQ(stat(slice_cfg_path, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);

    // A path that cannot be replaced, and a disk too full for the new copy.
    ASSERT_EQ(std::remove(slice_cfg_path), 0);
    ASSERT_EQ(mkdir(slice_cfg_path, 0755), 0);
    EXPECT_EQ(create_file(table.data()), 1);
    EXPECT_EQ(cfg_entries(), std::vector<std::string>{"qelt-slice-cfg.bin"});
    rmdir(slice_cfg_path);

    // A one-page /tmp over the test's own: it holds the file but not a
    // second copy of it.
    ASSERT_EQ(mount("tmpfs", "/tmp", "tmpfs", 0, "size=4k,mode=1777"), 0) << std::strerror(errno);
    ASSERT_EQ(create_file(table.data()), 0);
    const std::string previous = read_text();
    fit(table[5], 2.0f);
    EXPECT_EQ(create_file(table.data()), 1);
    EXPECT_EQ(read_text(), previous);
    EXPECT_EQ(cfg_entries(), std::vector<std::string>{"qelt-slice-cfg.bin"});
    umount2("/tmp", MNT_DETACH);
}

} // namespace
