#include "options.h"

#include "tool_log.h"

#include <qelt/qelt.h>

#include <getopt.h>

#include <cstdio>
#include <cstdlib>

namespace {

// Numbers are taken without validation, as the operator's tools always
// did: text that is no number reads as 0, and only the low 8 bits count.
std::uint8_t low_byte_decimal(const char *text) { return static_cast<std::uint8_t>(std::atoi(text)); }

std::uint8_t low_byte_hex(const char *text)
{
    return static_cast<std::uint8_t>(std::strtol(text, nullptr, 16));
}

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

} // namespace

tool_options scan_options(int argc, char **argv)
{
    tool_options opts;
    for (;;) {
        const int c = getopt_long(argc, argv, short_options, long_options, nullptr);
        if (c == -1)
            break;
        switch (c) {
        case 's':
            opts.slice_num = low_byte_decimal(optarg);
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
            apply_ldo_value(opts, low_byte_hex(optarg));
            break;
        case 'f':
            opts.fbsw_value = low_byte_hex(optarg);
            opts.fbsw_set = true;
            break;
        case 'c':
            opts.channel = low_byte_decimal(optarg);
            break;
        case 'a':
            opts.dsa_db = static_cast<float>(std::atof(optarg));
            opts.dsa_set = true;
            break;
        case 'g':
            opts.gpio_value = low_byte_hex(optarg);
            opts.gpio_set = true;
            break;
        case 'r':
            opts.read_path = optarg;
            break;
        case 'w':
            opts.write_path = optarg;
            break;
        case 'l':
            qelt_log_level = low_byte_decimal(optarg);
            break;
        default:
            show_usage(argv[0]); // -h, -e, unknown options, missing arguments
        }
    }

    // The slice number indexes the nine-record slice table directly, so a
    // number beyond it is refused before any action runs. Checked after the
    // loop because the error line depends on the final -l.
    if (opts.slice_group && opts.slice_num >= QELT_SLICE_COUNT) {
        TOOL_ERROR("Slice %d is out of range (0..%d)!!!", opts.slice_num, QELT_SLICE_COUNT - 1);
        std::exit(1);
    }
    return opts;
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
