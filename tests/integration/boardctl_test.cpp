// qelt-boardctl run as the operator runs it, against the simulated board:
// its whole output, its exit status, the board and the slice
// configuration file afterwards.
#include "sim_fixture.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace {

using qelt_test::read_file;
using qelt_test::run_boardctl;
using qelt_test::run_result;
using qelt_test::sim_board;
using qelt_test::write_file;

constexpr const char cfg_path[] = "/tmp/qelt-slice-cfg.bin";
constexpr std::uint64_t control_reg = 0xA0050000;
constexpr std::uint64_t slice3_matrix_reg = 0xA0060000 + 4 * 3;

// --- expected texts ----------------------------------------------------------------

std::string error_line(const std::string &reporter, const std::string &message)
{
    return "Error : " + reporter + "(#) :\"" + message + "\"\n";
}

std::string tool_error(const std::string &message) { return error_line("main", message); }

const std::string slice_det_missing = tool_error("Please run SliceDet -> qelt-boardctl -d !!!");

std::string devselect_error(const char *addr)
{
    return error_line("qelt_i2c_devselect",
                      std::string("Unable to configure I2C slave device at addr ") + addr + "!");
}

// Comes with every slice run unless a DSA value is written or -c is above 1.
std::string dsa_readback(int slice, int channel, const char *value)
{
    const std::string s = std::to_string(slice);
    return "Slice " + s + " is ON !!!\nSlice " + s +
           ",  DSA Value Readback [Chann = " + std::to_string(channel) + ", Stage = 0] = " + value +
           " dB!!!\n";
}

std::string detection(std::initializer_list<int> fitted)
{
    std::string text = "Starting Slice Detection...\n";
    for (int s = 0; s < 9; ++s)
        text += "Slice " + std::to_string(s) + " : " +
                (std::find(fitted.begin(), fitted.end(), s) != fitted.end() ? "ON\n" : "OFF\n");
    return text;
}

// --- the slice configuration file -------------------------------------------------------

// One present slice as the file records it; the defaults are what detection
// gives a new slice: 3.3 V rail on, attenuators at 31.75 dB in 0.25 dB steps.
struct slice_row {
    int rails = 2; // VDD * 4 + 3.3 V * 2 + 5.0 V
    float vdd = 0;
    float value[8] = {31.75f, 31.75f, 31.75f, 31.75f, 31.75f, 31.75f, 31.75f, 31.75f};

    slice_row &dsa(int entry, float v) // entry = channel * 2 + stage
    {
        value[entry] = v;
        return *this;
    }
};
using slice_rows = std::map<int, slice_row>;

std::string config_text(const slice_rows &present, float vdcdc = 0)
{
    std::string text;
    char buf[64];
    for (int s = 0; s < 9; ++s) {
        const auto it = present.find(s);
        if (it == present.end()) {
            text += "0,0,0,0,0,0,0,0,0,0,0,0\n";
            continue;
        }
        std::snprintf(buf, sizeof buf, "1,1,%d,%0.2f", it->second.rails, it->second.vdd);
        text += buf;
        for (const float v : it->second.value) {
            std::snprintf(buf, sizeof buf, ",%0.2f,0.25", v);
            text += buf;
        }
        text += "\n";
    }
    std::snprintf(buf, sizeof buf, "%0.2f", vdcdc);
    return text + buf;
}

void expect_config(const slice_rows &present, float vdcdc = 0)
{
    EXPECT_EQ(read_file(cfg_path), config_text(present, vdcdc));
}

bool config_exists()
{
    bool exists = false;
    read_file(cfg_path, &exists);
    return exists;
}

// --- the board ----------------------------------------------------------------------------

qsim::fault lasting(qsim::fault_kind kind, std::uint8_t bus = qsim::fault_any,
                    std::uint8_t addr = qsim::fault_any, std::uint8_t ops = 0)
{
    qsim::fault f{};
    f.kind = kind;
    f.bus = bus;
    f.addr = addr;
    f.ops = ops;
    f.count = -1;
    return f;
}

// A VDD current of 0.8 A against a warning limit of 0.7 A.
void raise_alert(sim_board &board, int slice)
{
    board.state().slices[slice].rails.reg[1] = 8000;
    board.state().slices[slice].rails.reg[8] = 7000;
    board.refresh();
}

bool bus_traffic(sim_board &board)
{
    const auto trace = board.trace();
    return std::any_of(trace.begin(), trace.end(), [](const qsim::trace_entry &e) {
        return e.kind == qsim::trace_kind::i2c_write || e.kind == qsim::trace_kind::i2c_read;
    });
}

std::string binary_data(std::size_t n)
{
    std::string data(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        data[i] = static_cast<char>((i * 37 + 11) & 0xFF);
    return data;
}

// --- runs -----------------------------------------------------------------------------------

run_result boardctl(const std::vector<std::string> &args)
{
    run_result r = run_boardctl(args);
    // Source lines in the log heads move with every edit; the rest must match.
    static const std::regex head(R"((Error|WARNING|INFO) : (\w+)\(\d+\) :)");
    r.out = std::regex_replace(r.out, head, "$1 : $2(#) :");
    return r;
}

// One run on a fresh board with slices 3 and 6 fitted and, unless `config`
// says otherwise, a configuration file that knows them.
struct run_case {
    const char *what;
    std::vector<std::string> args;
    std::string out;
    int status = 0;
    std::function<void(sim_board &)> before = [](sim_board &) {};
    std::function<void(sim_board &)> after = [](sim_board &) {};
    std::optional<slice_rows> config = slice_rows{{3, slice_row{}.dsa(0, 1.5f).dsa(4, 12.25f)}, {6, {}}};
    float vdcdc = 0;
};

void run_cases(const std::vector<run_case> &cases)
{
    for (const run_case &c : cases) {
        SCOPED_TRACE(c.what);
        sim_board board{3, 6};
        std::remove(cfg_path);
        if (c.config)
            write_file(cfg_path, config_text(*c.config, c.vdcdc));
        c.before(board);
        const run_result r = boardctl(c.args);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.status, c.status);
        c.after(board);
    }
}

// The file as run_case writes it, after a run that must not change it.
void expect_config_untouched(sim_board &)
{
    expect_config({{3, slice_row{}.dsa(0, 1.5f).dsa(4, 12.25f)}, {6, {}}});
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    for (std::size_t start = 0, nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl - start));
    return lines;
}

void expect_usage(const run_result &r)
{
    EXPECT_EQ(r.status, 1);
    const auto lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 4u + 41u + 1u) << r.out;
    EXPECT_EQ(lines[0], std::string("Usage: ") + QELT_BOARDCTL + " [global options] [sub options] ");
    EXPECT_EQ(lines[2], "as described below: ");
    for (std::size_t i = 4; i < 45; ++i)
        EXPECT_EQ(lines[i].size(), 110u) << "usage line " << i - 3;
    const auto trimmed = [&](std::size_t i) {
        return lines[i].substr(0, lines[i].find_last_not_of(' ') + 1);
    };
    EXPECT_EQ(trimmed(29),
              "    -s  --slice <slicenum>                      Check if slice is ON/OFF and prints the "
              "configured DSA value");
    EXPECT_EQ(trimmed(44),
              "                            -t  --temp          Read TX slice (5/6/7/8) temperature");
    EXPECT_EQ(lines[1] + lines[3] + lines[45], "");
}

// --- command line -----------------------------------------------------------------------------

TEST(BoardctlCommandLine, EveryWayOfAskingForUsageOrDoingNothing)
{
    sim_board board{3};
    write_file(cfg_path, config_text({{3, {}}}));
    const std::vector<std::vector<std::string>> cases = {
        {}, // nothing at all
        {"-h"},
        {"--help"},
        {"-e"},
        {"--sompsuMon"},
        {"-v", "-h"},
        {"-x"},                 // unknown option
        {"--bogus"},            // unknown long option
        {"-s"},                 // missing argument
        {"-r", "/tmp/out.bin"}, // sub-options without their group
        {"-w", "/tmp/in.bin", "-p", "-j", "-t"},
        {"-y"},
        {"-b"},                 // groups without a sub-option
        {"-s", "3", "-c", "2"}, // a channel the tool does not act on
        {"-s", "4"},            // a slice that is not fitted: every action skipped
        {"stray", "words"},     // non-option arguments are ignored
    };
    for (const auto &args : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        expect_usage(boardctl(args));
    }
}

TEST(BoardctlCommandLine, SliceAboveEightIsRefusedBeforeAnythingRuns)
{
    sim_board board{3};
    std::remove(cfg_path);
    for (const char *slice : {"9", "255", "265"}) {
        SCOPED_TRACE(slice);
        board.clear_trace();
        // -v and -d would run before the slice group.
        const run_result r = boardctl({"-v", "-d", "-s", slice, "-a", "10"});
        EXPECT_EQ(r.out, tool_error("Slice " + std::to_string(std::atoi(slice) & 0xFF) +
                                    " is out of range (0..8)!!!"));
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(board.trace().empty());
    }
    const run_result quiet = boardctl({"-l", "0", "-s", "9"});
    EXPECT_EQ(quiet.out, "");
    EXPECT_EQ(quiet.status, 1);
    EXPECT_FALSE(config_exists());
}

// --- actions that succeed -------------------------------------------------------------------

TEST(Boardctl, SuccessfulActions)
{
    const std::string vdd_on_6v = "VDD Value set to 6.00 V\n";
    run_cases({
        {.what = "DSA readback, channel 0 by default",
         .args = {"-s", "3"},
         .out = dsa_readback(3, 0, "1.50"),
         .after = [](sim_board &b) { EXPECT_EQ(b.state().slices[3].dsa_writes[0], 0u); }},
        {.what = "channel 1 is the library's channel 2; 259 is slice 3 in 8 bits",
         .args = {"--slice", "259", "--chNum", "1"},
         .out = dsa_readback(3, 1, "12.25")},
        {.what = "DSA write on channel 1, last values win",
         .args = {"-s", "9", "-a", "20", "-a", "10", "-s", "3", "-c", "1"},
         .out = "Slice 3, DSA Value Write [Chann = 1, Stage = 0] = 10.00 dB!!!\n",
         .after =
             [](sim_board &b) {
                 EXPECT_EQ(b.state().slices[3].dsa[2], 0x14); // code 40, bit-reversed
                 EXPECT_EQ(b.state().slices[3].dsa_writes[1], 0u);
                 expect_config({{3, slice_row{}.dsa(0, 1.5f).dsa(4, 10.0f)}, {6, {}}});
             }},
        {.what = "temperature",
         .args = {"-s", "6", "-t"},
         .out = dsa_readback(6, 0, "31.75") + "Slice 6, Board Temperature = -1.00\n",
         .before = [](sim_board &b) { b.state().slices[6].sensor.reg[0] = 0xFF80; }},
        {.what = "rails from the hexadecimal 0x5",
         .args = {"-s", "3", "-c", "2", "-n", "0x5"},
         .out = "3.3V LDO Disabled\n5.0V LDO Enabled\nVDD LDO Enabled\n" + vdd_on_6v,
         .after =
             [](sim_board &b) {
                 EXPECT_EQ(b.state().slices[3].io.reg[3], 0x13); // VDD, 5.0 V, common enable
                 EXPECT_EQ(b.state().slices[3].io.reg[6], 0xD1); // code 46 (6.0 V), complemented
                 expect_config({{3, slice_row{.rails = 5, .vdd = 6.0f}.dsa(0, 1.5f).dsa(4, 12.25f)}, {6, {}}},
                               6.4f);
             }},
        {.what = "VDD already on: no switching, still set to 6.0 V",
         .args = {"-s", "3", "-c", "2", "-n", "4"},
         .out = vdd_on_6v,
         .after =
             [](sim_board &) {
                 expect_config({{3, slice_row{.rails = 4, .vdd = 6.0f}}}, 6.4f);
             },
         .config = slice_rows{{3, slice_row{.rails = 4, .vdd = 5.0f}}},
         .vdcdc = 5.4f},
        {.what = "rails off: only those that are on",
         .args = {"-s", "3", "-c", "2", "-n", "0"},
         .out = "3.3V LDO Disabled\nVDD LDO Disabled\n",
         .after =
             [](sim_board &b) {
                 EXPECT_EQ(b.state().slices[3].io.reg[3], 0x00);
                 expect_config({{3, slice_row{.rails = 0, .vdd = 5.0f}}}, 5.4f);
             },
         .config = slice_rows{{3, slice_row{.rails = 6, .vdd = 5.0f}}},
         .vdcdc = 5.4f},
        {.what = "rail readings",
         .args = {"-s", "3", "-c", "2", "-p"},
         .out = "Slice 3 : VDD Power Rail Voltage/Current = 6.000V | 0.400A !\n"
                "Slice 3 : 3.0V Power Rail Voltage/Current = 3.300V | 0.200A !\n"
                "Slice 3 : 5.0V Power Rail Voltage/Current = 5.000V | 0.200A !\n",
         .before =
             [](sim_board &b) {
                 const std::uint16_t shunt_and_bus_codes[] = {4000, 6000, 2000, 3300, 1000, 5000};
                 std::copy_n(shunt_and_bus_codes, 6, b.state().slices[3].rails.reg + 1);
             }},
        {.what = "GPIOs 1, 3, 5 high, 0, 2, 4 low, 6 and 7 untouched",
         .args = {"-s", "3", "-c", "2", "-g", "2a"},
         .out = "Configure Slice 3 GPIO(5:0) as 0x2a \n",
         .before = [](sim_board &b) { b.reg(slice3_matrix_reg) = 0xC0FF; },
         .after = [](sim_board &b) { EXPECT_EQ(b.reg(slice3_matrix_reg), 0xEAC0u); }},
        {.what = "interrupt status of two alerting slices",
         .args = {"-i"},
         .out = "PSU Interrupt Status = 0x48\n"
                "System Interrupt :\"PSU Alert : slice 3 : VDD current 0.80 A is above threshold 0.70 A\"\n"
                "System Interrupt :\"PSU Alert : slice 6 : VDD current 0.80 A is above threshold 0.70 A\"\n",
         .before =
             [](sim_board &b) {
                 raise_alert(b, 3);
                 raise_alert(b, 6);
             }},
        {.what = "SOM configuration: bounded texts, date without time zone, MAC",
         .args = {"-y", "-j"},
         .out = "SOM Board Config:\nRevision : REV-B.02\nSKU : QX-RF-BASE-00001\nSerial Number : SN4711\n"
                "MFG Date : Sun Jan  7 22:40:00 1996\nMAC ID : 000a35abcdef\n",
         .before =
             [](sim_board &b) {
                 setenv("TZ", "Asia/Kolkata", 1); // handed on to the tool, which must not use it
                 std::uint8_t *mem = b.state().som_eeprom.mem;
                 const std::uint8_t date[] = {0x10, 0x27, 0x00}, mac[] = {0x00, 0x0A, 0x35, 0xAB, 0xCD, 0xEF};
                 std::copy_n(date, 3, mem + 0x0B);
                 std::copy_n("QX-RF-BASE-00001", 16, mem + 0x16); // fills the field: no terminator
                 std::copy_n("SN4711\0\xFF", 8, mem + 0x27);      // ends at its zero byte
                 std::copy_n("REV-B.02", 8, mem + 0x44);
                 std::copy_n(mac, 6, mem + 0x83);
             },
         .after = [](sim_board &) { unsetenv("TZ"); }},
        {.what = "SOM rail",
         .args = {"-y", "-p"},
         .out = "SOM : 5.0V Power Rail Voltage/Current = 5.000V | 0.125A !\n",
         .before =
             [](sim_board &b) {
                 b.state().som_monitor.reg[1] = 1250;
                 b.state().som_monitor.reg[2] = 5000;
             }},
        {.what = "feedback switch: bit 6 ignored, LEDs kept",
         .args = {"-b", "-f", "da"},
         .out = "Configure FB Switch with gui_fb_en = 1, adc9val = 0x3, adc8val = 0x2\n",
         .before = [](sim_board &b) { b.reg(control_reg) = 0x3; },
         .after = [](sim_board &b) { EXPECT_EQ(b.reg(control_reg), 0x9A03u); }},
        {.what = "version with a file: the file is rewritten as it was",
         .args = {"-v"},
         .out = "QELT SW Version : 1.3\n",
         .after =
             [](sim_board &) {
                 expect_config({{3, slice_row{.rails = 6, .vdd = 12.5f}.dsa(3, 10.25f)}}, 12.9f);
             },
         .config = slice_rows{{3, slice_row{.rails = 6, .vdd = 12.5f}.dsa(3, 10.25f)}},
         .vdcdc = 12.9f},
        {.what = "version without a file leaves none",
         .args = {"-v"},
         .out = "QELT SW Version : 1.3\n",
         .after = [](sim_board &) { EXPECT_FALSE(config_exists()); },
         .config = std::nullopt},
        {.what = "slice actions and interrupts without detection",
         .args = {"-s", "3", "-a", "10", "-i"},
         .out = slice_det_missing + slice_det_missing,
         .after = [](sim_board &b) { EXPECT_EQ(b.state().slices[3].dsa_writes[0], 0u); },
         .config = std::nullopt},
        {.what = "detection writes the file that the same run's DSA write updates",
         .args = {"--sliceDet", "-s", "3", "-a", "22.5"},
         .out = detection({3, 6}) + "Slice 3, DSA Value Write [Chann = 0, Stage = 0] = 22.50 dB!!!\n",
         .after =
             [](sim_board &b) {
                 EXPECT_EQ(b.state().slices[3].dsa[0], 0x5A); // code 90, bit-reversed
                 expect_config({{3, slice_row{}.dsa(0, 22.5f)}, {6, {}}});
             },
         .config = std::nullopt},
        {.what = "detection keeps the settings of slices already on file",
         .args = {"-d"},
         .out = detection({3, 6}),
         .after =
             [](sim_board &) {
                 expect_config({{3, slice_row{}.dsa(0, 4.0f)}, {6, {}}});
             },
         .config = slice_rows{{3, slice_row{}.dsa(0, 4.0f)}}},
        {.what = "fixed run order whatever the command-line order",
         .args = {"-v", "-i", "-a", "10", "-s", "3", "-d", "-f", "0", "-b", "-p", "-y"},
         .out = "SOM : 5.0V Power Rail Voltage/Current = 0.000V | 0.000A !\n"
                "Configure FB Switch with gui_fb_en = 0, adc9val = 0x0, adc8val = 0x0\n" +
                detection({3, 6}) + "Slice 3, DSA Value Write [Chann = 0, Stage = 0] = 10.00 dB!!!\n" +
                "Slice 3 : VDD Power Rail Voltage/Current = 0.000V | 0.000A !\n" // -p of the slice group
                "Slice 3 : 3.0V Power Rail Voltage/Current = 0.000V | 0.000A !\n"
                "Slice 3 : 5.0V Power Rail Voltage/Current = 0.000V | 0.000A !\n"
                "PSU Interrupt Status = 0x0\nQELT SW Version : 1.3\n",
         .config = std::nullopt},
    });
}

TEST(Boardctl, EepromRoundTripsThroughFiles)
{
    sim_board board{3};
    write_file(cfg_path, config_text({{3, {}}}));
    const std::string data = binary_data(300);
    write_file("/tmp/in.bin", data);
    // The library ends every successful EEPROM transfer with an empty line.
    run_result r = boardctl({"-b", "-w", "/tmp/in.bin", "-s", "3", "-c", "2"});
    EXPECT_EQ(r.out, "EEPROM Byte Count = 300\n\nBase-Board EEPROM Flash Write Successful with 300 Bytes\n"
                     "EEPROM Byte Count = 300\n\nSlice 3 : EEPROM Flash Write Successful with 300 Bytes\n");
    for (const qsim::eeprom *e : {&board.state().bb_eeprom, &board.state().slices[3].storage}) {
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(e->mem), 2),
                  "\x01\x2C"); // length, high byte first
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(e->mem + 2), 300), data);
    }

    r = boardctl({"-b", "-r", "/tmp/bb.bin"});
    EXPECT_EQ(r.out, "\nBase-Board EEPROM Flash Read Success with 300 Bytes\n"
                     "EEPROM Flash Content written to file : /tmp/bb.bin\n");
    r = boardctl({"-s", "3", "-c", "2", "-r", "/tmp/slice.bin"});
    EXPECT_EQ(r.out, "\nSlice 3 : EEPROM Flash Read Success with 300 Bytes\n"
                     "EEPROM Flash Content written to file : /tmp/slice.bin\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file("/tmp/bb.bin"), data);
    EXPECT_EQ(read_file("/tmp/slice.bin"), data);
}

TEST(Boardctl, DsaSettingIsLoggedOnlyAtFullLogging)
{
    sim_board board{3};
    write_file(cfg_path, config_text({{3, {}}}));
    const std::string setting =
        "INFO : main(#) :\"CFG DSA : Channel = 1, Stage = 0, Step = 0.25 , Value = 12.00\"\n";
    const std::string written = "Slice 3, DSA Value Write [Chann = 1, Stage = 0] = 12.00 dB!!!\n";
    EXPECT_EQ(boardctl({"-s", "3", "-c", "1", "-a", "12", "-l", "2"}).out, written);
    // The library adds its own information lines in between.
    const std::string full = boardctl({"--log", "3", "-s", "3", "-c", "1", "-a", "12"}).out;
    EXPECT_TRUE(full.starts_with(setting)) << full;
    EXPECT_TRUE(full.ends_with(written)) << full;
}

// --- failures -----------------------------------------------------------------------------

TEST(Boardctl, LibraryFailuresAreReportedAndTheRunGoesOn)
{
    const auto inject = [](qsim::fault f) { return [f](sim_board &b) { b.inject(f); }; };
    const std::string fb_line = "Configure FB Switch with gui_fb_en = 0, adc9val = 0x0, adc8val = 0x0\n";
    std::string gpio_failures;
    for (int gpio = 0; gpio < 6; ++gpio)
        gpio_failures += error_line("qelt_gpio_open", "can't access the gpio memory space!") +
                         tool_error("GPIO swmatrix for Slice 3 not set correctly!!!");
    run_cases({
        {.what = "SOM rail",
         .args = {"-y", "-p"},
         .out = devselect_error("40") +
                error_line("qelt_read_som_psu", "Unable to setup I2C device for Addr: 0x40") +
                tool_error("SOM : Power Rail Voltage/Current Readback Failed!!! \\n"),
         .before = inject(lasting(qsim::fault_kind::i2c_select, 0, 0x40))},
        {.what = "base-board EEPROM write",
         .args = {"-b", "-w", "/tmp/abc.bin", "-f", "0"},
         .out = "EEPROM Byte Count = 3\n" + devselect_error("51") +
                error_line("qelt_bb_eeprom_write", "Unable to setup I2C device at 51") +
                tool_error("Base-Board EEPROM Flash Write Failure !!! \\n") + fb_line,
         .before =
             [](sim_board &b) {
                 write_file("/tmp/abc.bin", "abc");
                 b.inject(lasting(qsim::fault_kind::i2c_select, 0, 0x51));
             }},
        {.what = "feedback switch",
         .args = {"-b", "-f", "0"},
         .out = fb_line + error_line("qelt_gpio_open", "can't access the gpio memory space!") +
                tool_error("FB Switch Configuration Failure!!! \\n"),
         .before = inject(lasting(qsim::fault_kind::mem_map))},
        {.what = "DSA write: the file keeps the value the attenuator holds",
         .args = {"-s", "3", "-a", "22.5", "-v"},
         .out = error_line("qelt_spidev_transfer", "Can't send SPI message") +
                error_line("qelt_dsa_write", "SPIDEV : Transfer Failed") +
                tool_error("Slice 3, DSA Write Unsuccessful!!! \\n") + "QELT SW Version : 1.3\n",
         .before = inject(lasting(qsim::fault_kind::spi_xfer)),
         .after = expect_config_untouched},
        {.what = "temperature of a slice without a sensor",
         .args = {"-s", "3", "-c", "2", "-t"},
         .out = tool_error("Board Temperature Read Unsuccessful!!! \\n")},
        {.what = "rail switches: the library reports, the lines name the request",
         .args = {"-s", "3", "-c", "2", "-n", "1"},
         .out = error_line("qelt_i2c_write", "I2C Write Failure: BytestoWrite = 2, BytesWritten = 255") +
                error_line("qelt_v3p3_enable", "Unable to write I2C PSU(0x20), Reg(0x03)") +
                "3.3V LDO Disabled\n" +
                error_line("qelt_i2c_write", "I2C Write Failure: BytestoWrite = 2, BytesWritten = 255") +
                error_line("qelt_v5p0_enable", "Unable to write I2C PSU(0x20), Reg(0x03)") +
                "5.0V LDO Enabled\n",
         .before = inject(lasting(qsim::fault_kind::i2c_nack, 0, 0x20, qsim::op_write)),
         .after = expect_config_untouched},
        {.what = "VDD set outside the window of slice 6's VDD: the old set point stays",
         .args = {"-s", "3", "-c", "2", "-n", "6"},
         .out = "VDD LDO Enabled\n" +
                error_line("qelt_vdd_set",
                           "Unable to Set VDD value of 6.00 to slice 3 ! VddMax = 10.00, VddMin = 10.00\\n") +
                "VDD Value set to 6.00 V\n",
         .after =
             [](sim_board &) {
                 expect_config(
                     {{3, slice_row{.rails = 6, .vdd = 0}}, {6, slice_row{.rails = 4, .vdd = 10.0f}}}, 10.4f);
             },
         .config = slice_rows{{3, {}}, {6, slice_row{.rails = 4, .vdd = 10.0f}}},
         .vdcdc = 10.4f},
        {.what = "rail readings",
         .args = {"-s", "3", "-c", "2", "-p"},
         .out = devselect_error("40") +
                error_line("qelt_read_psu", "Unable to setup I2C device for slice 3") +
                tool_error("Slice 3 : Power Rail Voltage/Current Readback Failed!!! \\n"),
         .before = inject(lasting(qsim::fault_kind::i2c_select, 0, 0x40))},
        {.what = "slice EEPROM write",
         .args = {"-s", "3", "-c", "2", "-w", "/tmp/abc.bin"},
         .out = "EEPROM Byte Count = 3\n" + devselect_error("54") +
                error_line("qelt_eeprom_write",
                           "Unable to select EEPROM Addr 0x54 on PL I2C device for slice 3") +
                tool_error("Slice 3 : EEPROM Flash Write Failure !!!"),
         .before =
             [](sim_board &b) {
                 write_file("/tmp/abc.bin", "abc");
                 b.inject(lasting(qsim::fault_kind::i2c_select, 1, 0x54));
             }},
        {.what = "every GPIO",
         .args = {"-s", "3", "-c", "2", "-g", "1"},
         .out = "Configure Slice 3 GPIO(5:0) as 0x1 \n" + gpio_failures,
         .before = inject(lasting(qsim::fault_kind::mem_map))},
        {.what = "interrupt detection",
         .args = {"-i"},
         .out = devselect_error("20") +
                error_line("qelt_psu_intr_detect", "Unable to setup I2C device for slice 3") +
                tool_error("PSU Interrupt Detection Failure!!!"),
         .before =
             [](sim_board &b) {
                 raise_alert(b, 3);
                 b.inject(lasting(qsim::fault_kind::i2c_select, 0, 0x20));
             }},
    });
}

TEST(Boardctl, RunsThatEndEarlyKeepTheFileAsItWas)
{
    const auto erased_eeprom_errors = [](const char *reporter) {
        return error_line(reporter,
                          "Error reading EEPROM, please check write protect and ensure EEPROM is written") +
               error_line(reporter, "Bytes to read from EEPROM is 1");
    };
    const auto no_device_traffic = [](sim_board &b) {
        EXPECT_FALSE(bus_traffic(b));
        expect_config_untouched(b);
    };
    const auto dsa_written = "Slice 3, DSA Value Write [Chann = 0, Stage = 0] = 10.00 dB!!!\n";
    // Later actions that must not run: -g, -i and -v.
    run_cases({
        {.what = "base-board EEPROM read failure: status 0",
         .args = {"-b", "-r", "/tmp/out.bin", "-f", "0", "-s", "3", "-a", "10", "-v"},
         .out = erased_eeprom_errors("qelt_bb_eeprom_read") +
                tool_error("Base-Board EEPROM Flash Read Failure!!! \\n"),
         .after =
             [](sim_board &b) {
                 EXPECT_EQ(b.state().slices[3].dsa_writes[0], 0u);
                 EXPECT_EQ(read_file("/tmp/out.bin"), "");
                 expect_config_untouched(b);
             }},
        {.what = "slice EEPROM read failure after a DSA write: status 0",
         .args = {"-s", "3", "-a", "10", "-r", "/tmp/out.bin", "-g", "3f", "-i", "-v"},
         .out = dsa_written + erased_eeprom_errors("qelt_eeprom_read") +
                tool_error("Slice 3: EEPROM Flash Read Failure !!!"),
         .after =
             [](sim_board &b) {
                 EXPECT_EQ(b.reg(slice3_matrix_reg), 0u);
                 expect_config_untouched(b);
             }},
        {.what = "data file longer than 32768 bytes, slice",
         .args = {"-s", "3", "-a", "10", "-w", "/tmp/big.bin", "-g", "1"},
         .out =
             dsa_written + tool_error("File : /tmp/big.bin holds more than 32768 bytes of eeprom data !!!"),
         .status = 1,
         .before =
             [](sim_board &b) {
                 write_file("/tmp/big.bin", std::string(32769, 'x'));
                 b.clear_trace();
             },
         .after = no_device_traffic},
        {.what = "data file longer than 32768 bytes, base board",
         .args = {"-b", "-w", "/tmp/big.bin", "-v"},
         .out = tool_error("File : /tmp/big.bin holds more than 32768 bytes of eeprom data !!! \\n"),
         .status = 1,
         .before = [](sim_board &) { write_file("/tmp/big.bin", std::string(32769, 'x')); },
         .after = no_device_traffic},
        {.what = "data file of exactly 32768 bytes is taken (the device then refuses it quickly)",
         .args = {"-l", "0", "-s", "3", "-c", "2", "-w", "/tmp/full.bin"},
         .out = "EEPROM Byte Count = 32768\n",
         .before =
             [](sim_board &b) {
                 write_file("/tmp/full.bin", std::string(32768, 'x'));
                 b.inject(lasting(qsim::fault_kind::i2c_select, 1, 0x54));
             }},
        {.what = "output file that cannot be created, base board",
         .args = {"-b", "-r", "/tmp/no/such/dir", "-v"},
         .out = tool_error("Opening File : /tmp/no/such/dir for writing eeprom data !!! \\n"),
         .status = 1,
         .after = no_device_traffic},
        {.what = "detection is on file at once; the early end drops only what came after it",
         .args = {"-d", "-s", "3", "-a", "10", "-w", "/tmp/missing.bin", "-v"},
         .out = detection({3, 6}) + dsa_written +
                tool_error("Opening File : /tmp/missing.bin for reading eeprom data !!!"),
         .status = 1,
         .after =
             [](sim_board &) {
                 expect_config({{3, {}}, {6, {}}});
             },
         .config = std::nullopt},
        {.what = "missing data file, slice",
         .args = {"-s", "3", "-c", "2", "-w", "/tmp/missing.bin", "-v"},
         .out = tool_error("Opening File : /tmp/missing.bin for reading eeprom data !!!"),
         .status = 1,
         .after = no_device_traffic},
        {.what = "a directory opens but cannot be read: no empty block reaches the device",
         .args = {"-s", "3", "-c", "2", "-w", "/tmp", "-v"},
         .out = tool_error("Reading File : /tmp for eeprom data failed !!!"),
         .status = 1,
         .after = no_device_traffic},
        {.what = "contents that do not reach the output file are not reported as written",
         .args = {"-b", "-r", "/dev/full", "-v"},
         .out = "\nBase-Board EEPROM Flash Read Success with 5 Bytes\n" +
                tool_error("Writing File : /dev/full with eeprom data failed !!!"),
         .status = 1,
         .before =
             [](sim_board &b) {
                 const char image[] = "\x00\x05hello";
                 std::copy_n(image, 7, b.state().bb_eeprom.mem);
             },
         .after = expect_config_untouched},
    });
}

} // namespace
