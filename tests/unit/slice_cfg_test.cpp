#include "slice_cfg.h"

#include <dirent.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const std::string zero_row = "0,0,0,0,0,0,0,0,0,0,0,0\n";

std::string repeat(const std::string &text, int times)
{
    std::string out;
    for (int i = 0; i < times; ++i)
        out += text;
    return out;
}

void write_text(const std::string &text)
{
    std::FILE *f = std::fopen(slice_cfg_path, "w");
    ASSERT_NE(f, nullptr);
    std::fputs(text.c_str(), f);
    std::fclose(f);
}

std::string read_all(int fd)
{
    std::string out;
    char buf[512];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<std::size_t>(n));
    return out;
}

std::string read_text()
{
    std::FILE *f = std::fopen(slice_cfg_path, "r");
    if (f == nullptr)
        return "<missing>";
    std::string text = read_all(fileno(f));
    std::fclose(f);
    return text;
}

// The configuration file and anything written beside it (its temporary
// copies share its name as a prefix).
std::vector<std::string> cfg_entries()
{
    std::vector<std::string> names;
    DIR *dir = opendir("/tmp");
    if (dir == nullptr)
        return names;
    while (const dirent *e = readdir(dir)) {
        if (std::strncmp(e->d_name, "qelt-slice-cfg", 14) == 0)
            names.emplace_back(e->d_name);
    }
    closedir(dir);
    return names;
}

// Everything the file stores about a slice, in one comparable line.
std::string settings(const qelt_slice &s)
{
    char buf[512];
    int n = std::snprintf(buf, sizeof buf, "present %d init %d rails %d%d%d vdd %g vdcdc %g dsa", s.present,
                          s.initialised, s.vdd_on, s.v3p3_on, s.v5p0_on, static_cast<double>(s.vdd_voltage),
                          static_cast<double>(s.vdcdc_voltage));
    for (int ch = 0; ch < 4; ++ch) {
        for (int st = 0; st < 2; ++st)
            n += std::snprintf(buf + n, sizeof buf - static_cast<std::size_t>(n), " %g/%g",
                               static_cast<double>(s.dsa_value[ch][st]),
                               static_cast<double>(s.dsa_step[ch][st]));
    }
    return buf;
}

// A fitted slice with a different setting in every stored field.
void fit(qelt_slice &s, float base)
{
    s.present = 1;
    s.initialised = 1;
    s.vdd_on = 1;
    s.v3p3_on = 1;
    s.vdd_voltage = base;
    for (int ch = 0; ch < 4; ++ch) {
        for (int st = 0; st < 2; ++st) {
            s.dsa_value[ch][st] = base + static_cast<float>(ch * 2 + st);
            s.dsa_step[ch][st] = 0.25f * static_cast<float>(st + 1);
        }
    }
}

// Standard output of the code under test, taken through a pipe so that it
// works while /tmp is full or unwritable.
class stdout_capture {
  public:
    stdout_capture()
    {
        std::fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        if (pipe(pipe_) == 0) {
            dup2(pipe_[1], STDOUT_FILENO);
            close(pipe_[1]);
        }
    }

    std::string finish()
    {
        std::fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        std::string out = read_all(pipe_[0]);
        close(pipe_[0]);
        return out;
    }

  private:
    int saved_ = -1;
    int pipe_[2] = {-1, -1};
};

// Error lines carry a source line number; it becomes N for comparison.
std::string without_line_number(std::string line)
{
    const std::size_t open = line.find('(');
    const std::size_t close = line.find(')');
    if (open != std::string::npos && close > open + 1 &&
        line.find_first_not_of("0123456789", open + 1) == close)
        line.replace(open + 1, close - open - 1, "N");
    return line;
}

// Runs op at log level 0 and 1; returns what level 1 printed and checks
// that level 0 printed nothing.
template <typename Op> std::string error_output(Op op)
{
    qelt_log_level = 0;
    stdout_capture quiet;
    op();
    EXPECT_EQ(quiet.finish(), "");
    qelt_log_level = 1;
    stdout_capture loud;
    op();
    std::string out = loud.finish();
    qelt_log_level = 0;
    return out;
}

class SliceCfg : public testing::Test {
  protected:
    void SetUp() override
    {
        std::remove(slice_cfg_path); // a file, or the directory one test leaves on failure
        qelt_log_level = 0;
    }

    std::vector<qelt_slice> table = std::vector<qelt_slice>(QELT_SLICE_COUNT);
};

TEST_F(SliceCfg, WritesPresentSlicesAsRowsAndOthersAsZeroRows)
{
    const float values[8] = {31.75f, 0.0f, 10.5f, 2.25f, 0.25f, 7.0f, 15.75f, 1.0f};
    const float steps[8] = {0.25f, 0.5f, 0.25f, 0.25f, 1.0f, 0.25f, 0.5f, 0.25f};
    qelt_slice &s = table[1];
    s.present = 1;
    s.initialised = 1;
    s.vdd_on = 1;
    s.v5p0_on = 1;
    s.vdd_voltage = 5.5f;
    for (int j = 0; j < 8; ++j) {
        s.dsa_value[j / 2][j % 2] = values[j];
        s.dsa_step[j / 2][j % 2] = steps[j];
    }
    fit(table[4], 3.0f);
    table[4].present = 0; // settings of an absent slice are not kept
    table[0].vdcdc_voltage = 7.0f;
    table[8].vdcdc_voltage = 5.9f;

    ASSERT_EQ(create_file(table.data()), 0);
    EXPECT_EQ(read_text(), zero_row +
                               "1,1,5,5.50,31.75,0.25,0.00,0.50,10.50,0.25,2.25,0.25,0.25,1.00,7.00,0.25,"
                               "15.75,0.50,1.00,0.25\n" +
                               repeat(zero_row, 7) + "5.90");

    table = std::vector<qelt_slice>(QELT_SLICE_COUNT);
    ASSERT_EQ(create_file(table.data()), 0);
    EXPECT_EQ(read_text(), repeat(zero_row, 9) + "0.00");
}

TEST_F(SliceCfg, RoundTripKeepsSettingsToTwoDecimals)
{
    fit(table[0], 1.0f);
    fit(table[3], 10.0f);
    table[3].initialised = 0;
    table[3].v5p0_on = 1;
    table[3].vdd_voltage = 3.456f;
    table[3].dsa_value[2][1] = 12.344f;
    fit(table[8], 20.0f);
    table[8].vdcdc_voltage = 5.9f;
    ASSERT_EQ(create_file(table.data()), 0);
    EXPECT_TRUE(slice_cfg_exists());

    std::vector<qelt_slice> back(QELT_SLICE_COUNT);
    back[3].temperature = 41.5f; // not stored, so not touched
    back[3].eeprom_len = 7;
    ASSERT_EQ(sync_file(back.data()), 0);

    table[3].vdd_voltage = 3.46f;
    table[3].dsa_value[2][1] = 12.34f;
    for (int i = 0; i < QELT_SLICE_COUNT; ++i)
        EXPECT_EQ(settings(back[i]), settings(table[i])) << "slice " << i;
    EXPECT_EQ(back[3].temperature, 41.5f);
    EXPECT_EQ(back[3].eeprom_len, 7u);
}

TEST_F(SliceCfg, ReadsLongRowsWholeAndKeepsEachRowWithItsSlice)
{
    const std::string long_row = "1,1,5,12.50,31.75,10.25,30.00,10.50,29.00,11.00,28.00,11.25,27.00,11.50,"
                                 "26.00,11.75,25.00,12.00,24.00,12.25\n";
    ASSERT_GE(long_row.size() - 1, 99u);
    // Thousands of digits: longer than any line buffer a reader might pick.
    const std::string huge_row =
        "1,0,2,  3.3" + std::string(5000, '0') + repeat(",1." + std::string(500, '0'), 16) + "\n";
    write_text(long_row + huge_row + long_row + repeat(zero_row, 6) + "5.40");

    ASSERT_EQ(sync_file(table.data()), 0);
    for (int i : {0, 2}) {
        EXPECT_EQ(settings(table[i]),
                  "present 1 init 1 rails 101 vdd 12.5 vdcdc 0 dsa 31.75/10.25 30/10.5 29/11 "
                  "28/11.25 27/11.5 26/11.75 25/12 24/12.25")
            << "slice " << i;
    }
    EXPECT_EQ(settings(table[1]),
              "present 1 init 0 rails 010 vdd 3.3 vdcdc 0 dsa 1/1 1/1 1/1 1/1 1/1 1/1 1/1 1/1");
    EXPECT_EQ(table[3].present, 0);
    EXPECT_EQ(table[8].vdcdc_voltage, 5.4f);
}

TEST_F(SliceCfg, MalformedFieldsReadAsZero)
{
    write_text("1,yes,x, 7.5,abc,3.25dB" + repeat(",1", 14) + "\n" + repeat(zero_row, 8) + "n/a\n");
    table[8].vdcdc_voltage = 5.0f;
    ASSERT_EQ(sync_file(table.data()), 0);
    EXPECT_EQ(settings(table[0]),
              "present 1 init 0 rails 000 vdd 7.5 vdcdc 0 dsa 0/3.25 1/1 1/1 1/1 1/1 1/1 1/1 1/1");
    EXPECT_EQ(table[8].vdcdc_voltage, 0.0f);
}

TEST_F(SliceCfg, RowsThatAreNotCompletePresentRowsChangeNothing)
{
    for (int i = 0; i < QELT_SLICE_COUNT; ++i)
        fit(table[i], static_cast<float>(i));
    table[8].vdcdc_voltage = 9.9f;
    const std::vector<qelt_slice> before = table;
    // A zero row, a row marked 2, one not numeric, an empty line and a
    // present row cut short; then the file ends early.
    write_text(zero_row + "2" + repeat(",1", 19) + "\nx" + repeat(",1", 19) + "\n\n1,0,7,3.30,1.00\n");

    ASSERT_EQ(sync_file(table.data()), 0);
    for (int i = 0; i < QELT_SLICE_COUNT; ++i)
        EXPECT_EQ(settings(table[i]), settings(before[i])) << "slice " << i;
}

TEST_F(SliceCfg, MissingFileIsReportedAndChangesNothing)
{
    fit(table[2], 4.0f);
    const std::string before = settings(table[2]);
    const std::string out = error_output([&] { EXPECT_EQ(sync_file(table.data()), 1); });
    EXPECT_EQ(without_line_number(out),
              "Error : sync_file(N) :\"Unable to open file /tmp/qelt-slice-cfg.bin for read!!!\"\n");
    EXPECT_EQ(settings(table[2]), before);
}

TEST_F(SliceCfg, ReplacesTheFileWhole)
{
    fit(table[0], 1.0f);
    ASSERT_EQ(create_file(table.data()), 0);
    const std::string first = read_text();
    std::FILE *reader = std::fopen(slice_cfg_path, "r");
    ASSERT_NE(reader, nullptr);

    table[0].present = 0;
    ASSERT_EQ(create_file(table.data()), 0);
    // A reader that opened the old file still sees all of it.
    EXPECT_EQ(read_all(fileno(reader)), first);
    std::fclose(reader);
    EXPECT_EQ(read_text(), repeat(zero_row, 9) + "0.00");
    EXPECT_EQ(cfg_entries(), std::vector<std::string>{"qelt-slice-cfg.bin"});
    struct stat st {};
    ASSERT_EQ(stat(slice_cfg_path, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

// A one-page /tmp over the test's own: it holds the file but not a second
// copy of it.
struct tiny_tmp {
    bool mounted = mount("tmpfs", "/tmp", "tmpfs", 0, "size=4k,mode=1777") == 0;
    ~tiny_tmp()
    {
        if (mounted)
            umount2("/tmp", MNT_DETACH);
    }
};

TEST_F(SliceCfg, FullDiskKeepsThePreviousFile)
{
    const tiny_tmp tmp;
    ASSERT_TRUE(tmp.mounted) << std::strerror(errno);
    fit(table[0], 1.0f);
    ASSERT_EQ(create_file(table.data()), 0);
    const std::string previous = read_text();

    fit(table[5], 2.0f);
    const std::string out = error_output([&] { EXPECT_EQ(create_file(table.data()), 1); });
    EXPECT_EQ(without_line_number(out),
              "Error : create_file(N) :\"Unable to open file /tmp/qelt-slice-cfg.bin for writing!!!\"\n");
    EXPECT_EQ(read_text(), previous);
    EXPECT_EQ(cfg_entries(), std::vector<std::string>{"qelt-slice-cfg.bin"});
}

TEST_F(SliceCfg, UnreplaceablePathLeavesNoTemporaryFile)
{
    ASSERT_EQ(mkdir(slice_cfg_path, 0755), 0);
    EXPECT_EQ(create_file(table.data()), 1);
    EXPECT_EQ(cfg_entries(), std::vector<std::string>{"qelt-slice-cfg.bin"});
    rmdir(slice_cfg_path);
}

TEST(SplitFields, CutsAtSeparatorsWithoutEmptyFields)
{
    const struct {
        const char *line;
        std::vector<std::string> fields;
    } cases[] = {
        {"1,2.50,x\n", {"1", "2.50", "x"}},
        {",,1,,2,\n", {"1", "2"}},
        {"5.40\n", {"5.40\n"}}, // only a comma ends the first field
        {"1\n,2", {"1\n", "2"}},
        {"", {}},
    };
    for (const auto &c : cases) {
        std::string line = c.line;
        std::array<char *, 8> fields{};
        int count = -1;
        EXPECT_EQ(split_fields(line.data(), fields.data(), 8, &count), 0);
        EXPECT_EQ(std::vector<std::string>(fields.begin(), fields.begin() + count), c.fields) << c.line;
    }
}

TEST(SplitFields, StopsAtMaxFields)
{
    std::string line = "a,b,c,d\n";
    std::array<char *, 2> fields{};
    int count = 0;
    split_fields(line.data(), fields.data(), 2, &count);
    ASSERT_EQ(count, 2);
    EXPECT_STREQ(fields[0], "a");
    EXPECT_STREQ(fields[1], "b");
}

} // namespace
