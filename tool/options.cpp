#include "options.h"

#include "tool_log.h"

#include <qelt/qelt.h>

#include <getopt.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace {

constexpr const char short_options[] = "s:c:f:n:a:g:r:w:l:ybdhvipejt";

constexpr option long_options[] = {
    {"slice", required_argument, nullptr, 's'}, {"som", no_argument, nullptr, 'y'},
    {"rfbb", no_argument, nullptr, 'b'},        {"sliceDet", no_argument, nullptr, 'd'},
    {"help", no_argument, nullptr, 'h'},        {"vers", no_argument, nullptr, 'v'},
    {"intr", no_argument, nullptr, 'i'},        {"psuMon", no_argument, nullptr, 'p'},
    {"sompsuMon", no_argument, nullptr, 'e'},   {"somcfg", no_argument, nullptr, 'j'},
    {"temp", no_argument, nullptr, 't'},        {"ldoen", required_argument, nullptr, 'n'},
    {"fbsw", required_argument, nullptr, 'f'},  {"chNum", required_argument, nullptr, 'c'},
    {"dsa", required_argument, nullptr, 'a'},   {"gpio", required_argument, nullptr, 'g'},
    {"readF", required_argument, nullptr, 'r'}, {"writeF", required_argument, nullptr, 'w'},
    {"log", required_argument, nullptr, 'l'},   {nullptr, 0, nullptr, 0},
};

// Without their trailing blanks; show_usage pads every line to the width.
constexpr int usage_width = 110;
// One usage line per source line.
// clang-format off
constexpr const char *usage_table[] = {
    "  [GLOBAL OPTIONS]         [SUB OPTIONS]                           DESCRIPTION",
    "",
    "    -h  --help                                  Print this help information",
    "    -v  --vers                                  Print SW Version",
    "    -d  --sliceDet                              Slice detection and configure 3.3V when a slice is installed",
    "    -i  --intr                                  Interrupt status for all Slices (9 bits in total)",
    "",
    "    -b  --rfbb",
    "                            -r  --readF         Read flash contents of base board and write into a",
    "                                                   file (e.g. '/tmp/eepromread.json')",
    "                            -w  --writeF        Write flash of base board with contents from a",
    "                                                   file (e.g '/tmp/eepromwrite.json')",
    "                            -l  --log           Set log level :",
    "                                                   0: log disabled                     1: only critical errors",
    "                                                   2: critical Errors + warnings       3: enable all",
    "                            -f  --fbsw          Write feedback switch value 8 bits",
    "                                                   (kol_sw_en, 1'b0,adc9_fb,adc8_fb)",
    "",
    "    -y  --som",
    "                            -l  --log           Set log level :",
    "                                                   0: log disabled                     1: only critical errors",
    "                                                   2: critical Errors + warnings       3: enable all",
    "                            -p  --psuMon        Read SOM 5.0V Power Rail Voltage & Current",
    "                            -j  --somcfg        Display SOM configuration",
    "",
    "    -s  --slice <slicenum>                      Check if slice is ON/OFF and prints the configured DSA value",
    "                            -r  --readF         Read flash contents of slice and write into a",
    "                                                   file (e.g. '/tmp/eepromread.json')",
    "                            -w  --writeF        Write flash of slice with contents from a",
    "                                                   file (e.g '/tmp/eepromwrite.json')",
    "                            -c  --chNum         DSA channel number 0: Channel 0, 1: Channel 1",
    "                            -l  --log           Set log level :",
    "                                                   0: log disabled                     1: only critical errors",
    "                                                   2: critical Errors + warnings       3: enable all",
    "                            -p  --psuMon        Read VDD/3.3V/5.0V Power Rail from slice",
    "                            -n  --ldoen         Enable (1)/Disable(0) VDD/3.3V/5.0V LDO on slices",
    "                                                   |    Bit 2    |    Bit 1    |    Bit 0    |",
    "                                                   |  VDD Enable | 3.3V Enable | 5.0V Enable |",
    "                            -g  --gpio          Set GPIO value for a slice(6 GPIOs)(e.g 0x2a)",
    "                            -a  --dsa           Setting the DSA value (0..31.75 in dB)(e.g 22.5)",
    "                            -t  --temp          Read TX slice (5/6/7/8) temperature",
};
// clang-format on

void apply_ldo_value(tool_options &opts, std::uint8_t value)
{
    opts.vdd_bit = (value >> 2) & 1;
    opts.v3p3_bit = (value >> 1) & 1;
    opts.v5p0_bit = value & 1;
    opts.ldo_set = true;
}

// A whole number an option takes, and how the refusal names it.
struct whole_rule {
    int base;
    unsigned max;
    const char *expected;
};

constexpr whole_rule slice_rule{10, QELT_SLICE_COUNT - 1, "a slice number 0..8"};
// 2 names no channel: it keeps the DSA readback out of a slice run.
constexpr whole_rule channel_rule{10, 2, "a DSA channel 0 or 1 (2: none)"};
constexpr whole_rule ldo_rule{16, 0x7, "a rail mask 0..7 (hexadecimal)"};
constexpr whole_rule fbsw_rule{16, 0xFF, "a feedback switch value 0..ff (hexadecimal)"};
constexpr whole_rule gpio_rule{16, 0x3F, "a GPIO mask 0..3f (hexadecimal)"};
constexpr whole_rule log_rule{10, 3, "a log level 0..3"};

// Digits only: no sign, no blanks, nothing after them, so that a typing
// slip never turns into another slice, channel or value. Hexadecimal
// numbers may start with 0x.
std::optional<unsigned> whole_number(const char *text, const whole_rule &rule)
{
    const char *first = text;
    const char *const last = text + std::strlen(text);
    if (rule.base == 16 && last - first > 2 && first[0] == '0' && (first[1] == 'x' || first[1] == 'X'))
        first += 2;
    unsigned value = 0;
    const auto [end, error] = std::from_chars(first, last, value, rule.base);
    if (error != std::errc{} || end != last || value > rule.max)
        return std::nullopt;
    return value;
}

// The library clamps a value beyond the attenuator's range, but has no
// answer for infinity or not-a-number.
std::optional<float> finite_number(const char *text)
{
    const char *const last = text + std::strlen(text);
    float value = 0;
    const auto [end, error] = std::from_chars(text, last, value);
    if (error != std::errc{} || end != last || !std::isfinite(value))
        return std::nullopt;
    return value;
}

const char *long_name(int short_letter)
{
    for (const option &o : long_options)
        if (o.val == short_letter)
            return o.name;
    return "";
}

class number_reader {
  public:
    explicit number_reader(std::optional<option_refusal> &refused) : refused_(refused) {}

    // A refused text leaves `fallback`; the run ends before it is used.
    std::uint8_t whole(int option, const char *text, const whole_rule &rule, std::uint8_t fallback = 0)
    {
        if (const auto value = whole_number(text, rule))
            return static_cast<std::uint8_t>(*value);
        refuse(option, text, rule.expected);
        return fallback;
    }

    std::optional<float> finite(int option, const char *text)
    {
        const auto value = finite_number(text);
        if (!value)
            refuse(option, text, "a finite number of dB");
        return value;
    }

    void refuse(int option, const char *text, const char *expected)
    {
        if (!refused_)
            refused_ = option_refusal{option, text, expected};
    }

  private:
    std::optional<option_refusal> &refused_;
};

} // namespace

option_scan read_options(int argc, char **argv, std::uint8_t log_level)
{
    option_scan scan;
    scan.log_level = log_level;
    tool_options &opts = scan.opts;
    number_reader numbers(scan.refused);
    const char *channel_text = nullptr;
    optind = 0; // a fresh scan: getopt_long forgets any earlier one
    for (;;) {
        const int c = getopt_long(argc, argv, short_options, long_options, nullptr);
        if (c == -1)
            break;
        switch (c) {
        case 's':
            opts.slice_num = numbers.whole(c, optarg, slice_rule);
            opts.slice_group = true;
            break;
        case 'y':
            opts.som_group = true;
            break;
        case 'b':
            opts.base_board_group = true;
            break;
        case 'd':
            opts.slice_det = true;
            break;
        case 'v':
            opts.version_show = true;
            break;
        case 'i':
            opts.intr_status = true;
            break;
        case 'p':
            opts.psu_mon = true;
            break;
        case 'j':
            opts.somcfg_show = true;
            break;
        case 't':
            opts.temp_read = true;
            break;
        case 'n':
            apply_ldo_value(opts, numbers.whole(c, optarg, ldo_rule));
            break;
        case 'f':
            opts.fbsw_value = numbers.whole(c, optarg, fbsw_rule);
            opts.fbsw_set = true;
            break;
        case 'c':
            opts.channel = numbers.whole(c, optarg, channel_rule);
            channel_text = optarg;
            break;
        case 'a':
            opts.dsa_db = numbers.finite(c, optarg).value_or(0.0f);
            opts.dsa_set = true;
            break;
        case 'g':
            opts.gpio_value = numbers.whole(c, optarg, gpio_rule);
            opts.gpio_set = true;
            break;
        case 'r':
            opts.read_path = optarg;
            break;
        case 'w':
            opts.write_path = optarg;
            break;
        case 'l':
            // A refused level keeps the one in force, which then decides
            // whether the refusal is printed.
            scan.log_level = numbers.whole(c, optarg, log_rule, scan.log_level);
            break;
        default: // -h, -e, unknown options, missing arguments
            scan.usage = true;
            return scan;
        }
    }
    // A value for no channel would be dropped without a word.
    if (opts.dsa_set && opts.channel > 1)
        numbers.refuse('c', channel_text, "a DSA channel 0 or 1 to write with -a");
    return scan;
}

tool_options scan_options(int argc, char **argv)
{
    const option_scan scan = read_options(argc, argv, qelt_log_level);
    if (scan.usage)
        show_usage(argv[0]);
    qelt_log_level = scan.log_level;
    if (const auto &r = scan.refused) {
        TOOL_ERROR("Option -%c/--%s : '%s' is not %s !!!", r->option, long_name(r->option), r->text,
                   r->expected);
        std::exit(1);
    }
    return scan.opts;
}

void show_usage(const char *program)
{
    std::printf("Usage: %s [global options] [sub options] \n\n", program);
    std::printf("as described below: \n\n");
    for (const char *line : usage_table)
        std::printf("%-*s\n", usage_width, line);
    std::printf("\n");
    std::exit(1);
}
