// qelt-boardctl run as the operator runs it, against the simulated board:
// its own output, its exit status, the board and the slice configuration
// file afterwards; and the SOM date as it shows it. The library's log lines
// are left to the library's tests. Then the qelt-sim command, as an engineer
// types it to set up, inspect and drive the simulated board.
#include "bus_checks.h"
#include "som_date.h"

#include <array>
#include <cstdlib>
#include <ctime>
#include <optional>

namespace {

using namespace qelt_test;

constexpr const char cfg_path[] = "/tmp/qelt-slice-cfg.bin";
constexpr std::uint64_t slice3_matrix_reg = 0xA0060000 + 4 * 3;

std::string tool_error(const std::string &message) { return "Error : main(#) :\"" + message + "\"\n"; }

// Comes with every slice run unless a DSA value is written or -c is 2.
std::string dsa_readback(int slice, int channel, const char *value)
{
    const std::string s = std::to_string(slice);
    return "Slice " + s + " is ON !!!\nSlice " + s +
           ",  DSA Value Readback [Chann = " + std::to_string(channel) + ", Stage = 0] = " + value +
           " dB!!!\n";
}

std::string dsa_written(int channel, const char *value)
{
    return "Slice 3, DSA Value Write [Chann = " + std::to_string(channel) + ", Stage = 0] = " + value +
           " dB!!!\n";
}

// Detection on the board of the runs below, slices 3 and 6 fitted.
const std::string detected = "Starting Slice Detection...\nSlice 0 : OFF\nSlice 1 : OFF\nSlice 2 : OFF\n"
                             "Slice 3 : ON\nSlice 4 : OFF\nSlice 5 : OFF\nSlice 6 : ON\nSlice 7 : OFF\n"
                             "Slice 8 : OFF\n";

// One present slice as the file records it; the defaults are what detection
// gives a new slice: 3.3 V rail on, attenuators at 31.75 dB in 0.25 dB steps.
struct slice_row {
    int rails = 2; // VDD * 4 + 3.3 V * 2 + 5.0 V
    float vdd = 0;
    float value[8] = {31.75f, 31.75f, 31.75f, 31.75f, 31.75f, 31.75f, 31.75f, 31.75f};

    slice_row &dsa(int entry, float v) { return value[entry] = v, *this; } // entry = channel * 2 + stage
};

struct config_file {
    std::map<int, slice_row> present;
    float vdcdc = 0;
};

std::string config_text(const config_file &c)
{
    std::ostringstream text;
    text << std::fixed << std::setprecision(2);
    for (int s = 0; s < 9; ++s) {
        const auto row = c.present.find(s);
        if (row == c.present.end()) {
            text << "0,0,0,0,0,0,0,0,0,0,0,0\n";
            continue;
        }
        text << "1,1," << row->second.rails << ',' << row->second.vdd;
        for (const float v : row->second.value)
            text << ',' << v << ",0.25";
        text << '\n';
    }
    text << c.vdcdc;
    return text.str();
}

// What the runs below start from unless they say otherwise.
const config_file known{{{3, slice_row{}.dsa(0, 1.5f).dsa(4, 12.25f)}, {6, {}}}};

// The tool's own output: its log heads with the source line as #, and the
// library's lines (whose reporter is not main) left out.
run_result boardctl(const std::vector<std::string> &args)
{
    run_result r = run_boardctl(args);
    static const std::regex library_line(R"((Error|WARNING|INFO) : (?!main\()\w+\(\d+\) :.*\n)");
    static const std::regex head(R"((Error|WARNING|INFO) : main\(\d+\) :)");
    r.out = std::regex_replace(std::regex_replace(r.out, library_line, ""), head, "$1 : main(#) :");
    return r;
}

// Arguments split at blanks.
run_result boardctl(const std::string &line)
{
    std::istringstream in(line);
    return boardctl(std::vector<std::string>{std::istream_iterator<std::string>(in), {}});
}

class Boardctl : public ::testing::Test {
  protected:
    // A fresh board with slices 3 and 6 fitted and `config` on file (none
    // when empty).
    void fresh(const std::optional<config_file> &config = known)
    {
        board.emplace(std::initializer_list<int>{3, 6});
        std::remove(cfg_path);
        if (config)
            write_file(cfg_path, config_text(*config));
        start = config;
    }

    // One run: its output and exit status, and the file afterwards, which is
    // `after` or else as it was before the run.
    void run(const std::string &args, const std::string &out, int status = 0,
             const std::optional<config_file> &after = std::nullopt)
    {
        SCOPED_TRACE(args);
        const run_result r = boardctl(args);
        EXPECT_EQ(r.out, out);
        EXPECT_EQ(r.status, status);
        if (after)
            start = after;
        bool exists = false;
        const std::string file = read_file(cfg_path, &exists);
        EXPECT_EQ(exists ? file : "(no file)", start ? config_text(*start) : "(no file)");
    }

    // A VDD current of 0.8 A against a warning limit of 0.7 A.
    void raise_alert(int s)
    {
        slice(s).rails.reg[1] = 8000;
        slice(s).rails.reg[8] = 7000;
        board->refresh();
    }

    qsim::slice_slot &slice(int s) { return board->state().slices[s]; }

    std::optional<sim_board> board;
    std::optional<config_file> start;
};

// A command line that asks for usage or makes no sense gets the usage
// text; a number that is not whole or is out of range (dB: not finite) gets
// one line naming the option and its text. Either ends the run with status
// 1 before the board or the file is touched: -d and -s 3 -a 10 would both
// reach the board.
TEST_F(Boardctl, RefusedCommandLinesRunNothing)
{
    fresh();
    const std::string usage = boardctl("-h").out;
    EXPECT_TRUE(
        usage.starts_with(std::string("Usage: ") + QELT_BOARDCTL + " [global options] [sub options] \n"))
        << usage;
    // Unknown options, a missing argument, sub-options without their group,
    // a group without a sub-option, a slice run without a DSA channel, a
    // slice that is not fitted, non-option words.
    for (const char *args : {"", "--help", "-v -h", "--bogus", "-s", "-w /tmp/in.bin -p -j -t", "-y",
                             "-s 3 -c 2", "-s 4", "stray words"})
        run(args, usage, 1);
    const std::pair<char, const char *> refused[] = {
        {'s', "abc"}, {'s', "1O"},    {'s', "259"},  {'s', "9"},      {'s', ""},  {'s', "-1"}, {'s', " 3"},
        {'c', "3"},   {'c', "256"},   {'c', "2"}, // no channel for the -a 10
        {'a', "inf"}, {'a', "nan"},   {'a', "1e40"}, {'a', "12.5dB"}, {'a', ""},  {'n', "8"},  {'n', "0x"},
        {'f', "100"}, {'f', "0x1ff"}, {'g', "40"},   {'g', "0x-1"},   {'l', "4"}, {'l', "1O"},
    };
    for (const auto &[letter, text] : refused) {
        const std::string option = {'-', letter};
        const run_result r = boardctl({"-d", "-s", "3", "-a", "10", option, text, "-v"});
        EXPECT_TRUE(r.out.starts_with("Error : main(#) :\"Option " + option + "/--") &&
                    r.out.find(std::string("'") + text + "'") != std::string::npos &&
                    r.out.find('\n') == r.out.size() - 1)
            << r.out;
        EXPECT_EQ(r.status, 1) << r.out;
    }
    EXPECT_TRUE(untouched(*board));
    EXPECT_EQ(read_file(cfg_path), config_text(known));

    // The edges of every range, hexadecimal with or without 0x.
    for (const char *args :
         {"-s 8", "-c 2", "-c 1 -a 31.75", "-a -0.5", "-n 0X7", "-f ff", "-g 0x3F", "-l 3"})
        run(std::string("-v ") + args, "QELT SW Version : 1.3\n");
}

TEST_F(Boardctl, SliceActions)
{
    fresh();
    run("-s 3", dsa_readback(3, 0, "1.50")); // channel 0 by default
    EXPECT_EQ(slice(3).dsa_writes[0], 0u);
    // Channel 1 is the library's channel 2.
    run("--slice 3 --chNum 1", dsa_readback(3, 1, "12.25"));
    slice(6).sensor.reg[0] = 0xFF80;
    run("-s 6 -t", dsa_readback(6, 0, "31.75") + "Slice 6, Board Temperature = -1.00\n");
    const std::uint16_t shunt_and_bus_codes[] = {4000, 6000, 2000, 3300, 1000, 5000};
    std::copy_n(shunt_and_bus_codes, 6, slice(3).rails.reg + 1);
    run("-s 3 -c 2 -p", "Slice 3 : VDD Power Rail Voltage/Current = 6.000V | 0.400A !\n"
                        "Slice 3 : 3.0V Power Rail Voltage/Current = 3.300V | 0.200A !\n"
                        "Slice 3 : 5.0V Power Rail Voltage/Current = 5.000V | 0.200A !\n");
    // GPIOs 1, 3, 5 high, 0, 2, 4 low, 6 and 7 untouched.
    board->reg(slice3_matrix_reg) = 0xC0FF;
    run("-s 3 -c 2 -g 2a", "Configure Slice 3 GPIO(5:0) as 0x2a \n");
    EXPECT_EQ(board->reg(slice3_matrix_reg), 0xEAC0u);
    // The last values win; the setting is logged only at full logging.
    run("-s 6 -a 20 -a 10 -s 3 -c 1 -l 2", dsa_written(1, "10.00"), 0,
        config_file{{{3, slice_row{}.dsa(0, 1.5f).dsa(4, 10.0f)}, {6, {}}}});
    EXPECT_EQ(slice(3).dsa[2], 0x14); // code 40, bit-reversed
    EXPECT_EQ(slice(3).dsa_writes[1], 0u);
    EXPECT_EQ(boardctl("--log 3 -s 3 -c 1 -a 12").out,
              "INFO : main(#) :\"CFG DSA : Channel = 1, Stage = 0, Step = 0.25 , Value = 12.00\"\n" +
                  dsa_written(1, "12.00"));

    const std::string vdd_6v = "VDD Value set to 6.00 V\n";
    run("-s 3 -c 2 -n 0x5", "3.3V LDO Disabled\n5.0V LDO Enabled\nVDD LDO Enabled\n" + vdd_6v, 0,
        config_file{{{3, slice_row{.rails = 5, .vdd = 6.0f}.dsa(0, 1.5f).dsa(4, 12.0f)}, {6, {}}}, 6.4f});
    // VDD already on: no switching, still set to 6.0 V.
    fresh(config_file{{{3, slice_row{.rails = 4, .vdd = 5.0f}}}, 5.4f});
    run("-s 3 -c 2 -n 4", vdd_6v, 0, config_file{{{3, slice_row{.rails = 4, .vdd = 6.0f}}}, 6.4f});
    // Off: only the rails that are on.
    fresh(config_file{{{3, slice_row{.rails = 6, .vdd = 5.0f}}}, 5.4f});
    run("-s 3 -c 2 -n 0", "3.3V LDO Disabled\nVDD LDO Disabled\n", 0,
        config_file{{{3, slice_row{.rails = 0, .vdd = 5.0f}}}, 5.4f});
}

TEST_F(Boardctl, BoardActions)
{
    fresh();
    raise_alert(3);
    raise_alert(6);
    run("-i", "PSU Interrupt Status = 0x48\n"
              "System Interrupt :\"PSU Alert : slice 3 : VDD current 0.80 A is above threshold 0.70 A\"\n"
              "System Interrupt :\"PSU Alert : slice 6 : VDD current 0.80 A is above threshold 0.70 A\"\n");

    // Texts bounded by their fields.
    std::uint8_t *mem = board->state().som_eeprom.mem;
    std::copy_n("\x10\x27\x00", 3, mem + 0x0B);
    std::copy_n("QX-RF-BASE-00001", 16, mem + 0x16); // fills the field: no terminator
    std::copy_n("SN4711\0\xFF", 8, mem + 0x27);      // ends at its zero byte
    std::copy_n("REV-B.02", 8, mem + 0x44);
    std::copy_n("\x00\x0A\x35\xAB\xCD\xEF", 6, mem + 0x83);
    run("-y -j", "SOM Board Config:\nRevision : REV-B.02\nSKU : QX-RF-BASE-00001\nSerial Number : SN4711\n"
                 "MFG Date : Sun Jan  7 22:40:00 1996\nMAC ID : 000a35abcdef\n");

    board->state().som_monitor.reg[1] = 1250;
    board->state().som_monitor.reg[2] = 5000;
    run("-y -p", "SOM : 5.0V Power Rail Voltage/Current = 5.000V | 0.125A !\n");

    // Bit 6 ignored, the LEDs kept.
    board->reg(control_reg) = 0x3;
    run("-b -f da", "Configure FB Switch with gui_fb_en = 1, adc9val = 0x3, adc8val = 0x2\n");
    EXPECT_EQ(board->reg(control_reg), 0x9A03u);
}

TEST_F(Boardctl, DetectionAndTheFile)
{
    const std::string slice_det_missing = tool_error("Please run SliceDet -> qelt-boardctl -d !!!");
    fresh(std::nullopt);
    run("-s 3 -a 10 -i", slice_det_missing + slice_det_missing, 2);
    EXPECT_EQ(slice(3).dsa_writes[0], 0u);
    // A fixed run order whatever the command-line order: detection writes
    // the file that the same run's DSA write updates.
    run("-v -i -a 10 -s 3 -d -f 0 -b -p -y",
        "SOM : 5.0V Power Rail Voltage/Current = 0.000V | 0.000A !\n"
        "Configure FB Switch with gui_fb_en = 0, adc9val = 0x0, adc8val = 0x0\n" +
            detected + dsa_written(0, "10.00") +
            "Slice 3 : VDD Power Rail Voltage/Current = 0.000V | 0.000A !\n" // -p of the slice group
            "Slice 3 : 3.0V Power Rail Voltage/Current = 0.000V | 0.000A !\n"
            "Slice 3 : 5.0V Power Rail Voltage/Current = 0.000V | 0.000A !\n"
            "PSU Interrupt Status = 0x0\nQELT SW Version : 1.3\n",
        0, config_file{{{3, slice_row{}.dsa(0, 10.0f)}, {6, {}}}});

    // Slices already on file keep their settings.
    fresh(config_file{{{3, slice_row{}.dsa(0, 4.0f)}}});
    run("-d", detected, 0, config_file{{{3, slice_row{}.dsa(0, 4.0f)}, {6, {}}}});
}

TEST_F(Boardctl, EepromRoundTripsThroughFiles)
{
    fresh();
    std::string data;
    for (int i = 0; i < 300; ++i)
        data += static_cast<char>(i * 37 + 11);
    write_file("/tmp/in.bin", data);
    // The library ends every successful EEPROM transfer with an empty line.
    const std::string count = "EEPROM Byte Count = 300\n\n";
    run("-b -w /tmp/in.bin -s 3 -c 2", count + "Base-Board EEPROM Flash Write Successful with 300 Bytes\n" +
                                           count +
                                           "Slice 3 : EEPROM Flash Write Successful with 300 Bytes\n");
    for (const qsim::eeprom *e : {&board->state().bb_eeprom, &slice(3).storage}) // length first
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(e->mem), 302), "\x01\x2C" + data);
    const std::string to_file = "EEPROM Flash Content written to file : ";
    run("-b -r /tmp/bb.bin",
        "\nBase-Board EEPROM Flash Read Success with 300 Bytes\n" + to_file + "/tmp/bb.bin\n");
    run("-s 3 -c 2 -r /tmp/slice.bin",
        "\nSlice 3 : EEPROM Flash Read Success with 300 Bytes\n" + to_file + "/tmp/slice.bin\n");
    EXPECT_EQ(read_file("/tmp/bb.bin"), data);
    EXPECT_EQ(read_file("/tmp/slice.bin"), data);
}

// A board operation that fails: the tool names the action, goes on with the
// next one and ends with status 2.
TEST_F(Boardctl, LibraryFailuresAreReportedAndTheRunGoesOn)
{
    const std::string fb_line = "Configure FB Switch with gui_fb_en = 0, adc9val = 0x0, adc8val = 0x0\n";
    std::string gpio_failures;
    for (int gpio = 0; gpio < 6; ++gpio)
        gpio_failures += tool_error("GPIO swmatrix for Slice 3 not set correctly!!!");
    write_file("/tmp/abc.bin", "abc");
    // Slice 3 has no temperature sensor; the file keeps the value the
    // attenuator holds.
    const std::tuple<qsim::fault, const char *, std::string> cases[] = {
        {{}, "-s 3 -c 2 -t", tool_error("Board Temperature Read Unsuccessful!!! \\n")},
        {refuse_select(0, 0x40), "-y -p",
         tool_error("SOM : Power Rail Voltage/Current Readback Failed!!! \\n")},
        {refuse_select(0, 0x40), "-s 3 -c 2 -p",
         tool_error("Slice 3 : Power Rail Voltage/Current Readback Failed!!! \\n")},
        {refuse_select(0, 0x51), "-b -w /tmp/abc.bin -f 0",
         "EEPROM Byte Count = 3\n" + tool_error("Base-Board EEPROM Flash Write Failure !!! \\n") + fb_line},
        {refuse_select(1, 0x54), "-s 3 -c 2 -w /tmp/abc.bin",
         "EEPROM Byte Count = 3\n" + tool_error("Slice 3 : EEPROM Flash Write Failure !!!")},
        {refuse_select(0, 0x20), "-i", tool_error("PSU Interrupt Detection Failure!!!")},
        {qsim::make_fault(qsim::fault_kind::mem_map), "-b -f 0",
         fb_line + tool_error("FB Switch Configuration Failure!!! \\n")},
        {qsim::make_fault(qsim::fault_kind::mem_map), "-s 3 -c 2 -g 1",
         "Configure Slice 3 GPIO(5:0) as 0x1 \n" + gpio_failures},
        {qsim::make_fault(qsim::fault_kind::spi_xfer), "-s 3 -a 22.5 -v",
         tool_error("Slice 3, DSA Write Unsuccessful!!! \\n") + "QELT SW Version : 1.3\n"},
    };
    for (const auto &[fault, args, out] : cases) {
        fresh();
        raise_alert(3);
        board->inject(fault);
        run(args, out, 2);
    }

    // A rail line only for a switch that took place: the first write to
    // the expander is refused, the later ones go through.
    fresh();
    board->inject(nack(0, 0x20, qsim::op_write, 0, 1));
    run("-s 3 -c 2 -n 5", "5.0V LDO Enabled\nVDD LDO Enabled\nVDD Value set to 6.00 V\n", 2,
        config_file{{{3, slice_row{.rails = 7, .vdd = 6.0f}.dsa(0, 1.5f).dsa(4, 12.25f)}, {6, {}}}, 6.4f});

    // Outside the window of slice 6's VDD: no set-point line, and the old
    // set point stays.
    fresh(config_file{{{3, {}}, {6, slice_row{.rails = 4, .vdd = 10.0f}}}, 10.4f});
    run("-s 3 -c 2 -n 6", "VDD LDO Enabled\n", 2,
        config_file{{{3, slice_row{.rails = 6}}, {6, slice_row{.rails = 4, .vdd = 10.0f}}}, 10.4f});
}

TEST_F(Boardctl, RunsThatEndEarlyKeepTheFileAsItWas)
{
    // EEPROM read failures end the run with status 2; the -g, -i and -v
    // after them do not run.
    fresh();
    run("-b -r /tmp/out.bin -f 0 -s 3 -a 10 -v", tool_error("Base-Board EEPROM Flash Read Failure!!! \\n"),
        2);
    EXPECT_EQ(slice(3).dsa_writes[0], 0u);
    EXPECT_EQ(read_file("/tmp/out.bin"), "");
    run("-s 3 -a 10 -r /tmp/out.bin -g 3f -i -v",
        dsa_written(0, "10.00") + tool_error("Slice 3: EEPROM Flash Read Failure !!!"), 2);
    EXPECT_EQ(board->reg(slice3_matrix_reg), 0u);

    // Data files that cannot be used end the run with status 1 before any
    // transfer.
    fresh();
    write_file("/tmp/big.bin", std::string(32769, 'x'));
    const std::string too_big = "File : /tmp/big.bin holds more than 32768 bytes of eeprom data !!!";
    run("-s 3 -a 10 -w /tmp/big.bin -g 1", dsa_written(0, "10.00") + tool_error(too_big), 1);
    run("-b -w /tmp/big.bin -v", tool_error(too_big + " \\n"), 1);
    run("-b -r /tmp/no/such/dir -v",
        tool_error("Opening File : /tmp/no/such/dir for writing eeprom data !!! \\n"), 1);
    run("-s 3 -c 2 -w /tmp/missing.bin -v",
        tool_error("Opening File : /tmp/missing.bin for reading eeprom data !!!"), 1);
    // A directory opens but cannot be read: no empty block reaches the device.
    run("-s 3 -c 2 -w /tmp -v", tool_error("Reading File : /tmp for eeprom data failed !!!"), 1);
    EXPECT_TRUE(i2c_messages(*board, 0).empty() && i2c_messages(*board, 1).empty());

    // Exactly 32768 bytes are taken (the device then refuses them quickly).
    write_file("/tmp/full.bin", std::string(32768, 'x'));
    board->inject(refuse_select(1, 0x54));
    run("-l 0 -s 3 -c 2 -w /tmp/full.bin", "EEPROM Byte Count = 32768\n", 2);

    // Contents that do not reach the output file are not reported as written.
    std::copy_n("\x00\x05hello", 7, board->state().bb_eeprom.mem);
    run("-b -r /dev/full -v",
        "\nBase-Board EEPROM Flash Read Success with 5 Bytes\n" +
            tool_error("Writing File : /dev/full with eeprom data failed !!!"),
        1);

    // Detection is on file at once; the early end drops only what came after.
    fresh(std::nullopt);
    run("-d -s 3 -a 10 -w /tmp/missing.bin -v",
        detected + dsa_written(0, "10.00") +
            tool_error("Opening File : /tmp/missing.bin for reading eeprom data !!!"),
        1, config_file{{{3, {}}, {6, {}}}});
}

// The three stored bytes, least significant first, from the first to the
// last minute they can count; a local time zone must make no difference.
TEST(SomDate, StoredMinutesAsUtcText)
{
    setenv("TZ", "America/St_Johns", 1);
    tzset();
    const std::pair<std::array<std::uint8_t, 3>, const char *> cases[] = {
        {{0x00, 0x00, 0x00}, "Mon Jan  1 00:00:00 1996\n"},
        {{0x01, 0x02, 0x83}, "Sat Apr 28 07:29:00 2012\n"},
        {{0xFF, 0xFF, 0xFF}, "Wed Nov 24 20:15:00 2027\n"},
    };
    for (const auto &[bytes, text] : cases)
        EXPECT_EQ(som_date_text(som_date_minutes(bytes.data())), text);
    unsetenv("TZ");
    tzset();
}

run_result sim(std::vector<std::string> args)
{
    args.insert(args.begin(), {QELT_SIM_TOOL, "--board", "/tmp/cli.board"});
    return run_program(args);
}

TEST(SimCli, CreatesDrivesAndShowsTheBoard)
{
    ASSERT_EQ(sim({"create", "2,5-6"}).status, 0);
    const run_result detect = sim({"run", QELT_BOARDCTL, "-d"});
    EXPECT_TRUE(has(detect.out, "Slice 2 : ON\nSlice 3 : OFF\nSlice 4 : OFF\nSlice 5 : ON\nSlice 6 : ON\n"))
        << detect.out << detect.err;
    const std::string shown = sim({"show"}).out;
    EXPECT_TRUE(has(shown, "slice 2: fitted") && has(shown, "slice 3: empty"));
    EXPECT_TRUE(has(shown, "rails: VDD off  3.3V on   5.0V off")) << "boot switches 3.3 V on";
    const std::string trace = sim({"trace"}).out;
    EXPECT_TRUE(has(trace, "i2c-0 0x20 write [2] 07 c0 -> expander of slice 2, then 500 us pause\n"));

    EXPECT_EQ(sim({"set", "0xa0080004", "1234"}).status, 0);
    EXPECT_EQ(sim({"get", "0xa0080004"}).out, "0x000004d2\n");
    EXPECT_EQ(sim({"set", "expander:5", "3", "0x17"}).status, 0);
    EXPECT_EQ(sim({"get", "expander:5", "3"}).out, "0x17\n");
    EXPECT_EQ(sim({"run", QELT_BOARDCTL, "-b", "-f", "9a"}).status, 0);
    EXPECT_EQ(sim({"get", "0xa0050000"}).out, "0x00009a00\n");
}

} // namespace
