// The command line of qelt-boardctl: what the operator asked for.
#pragma once

#include <cstdint>
#include <optional>

// Option state after the command line was read. A group option (-b, -y,
// -s) opens a group; the sub-options say what to do within it and do
// nothing on their own. Read-only once scan_options has returned.
struct tool_options {
    bool slice_det = false;           // -d
    bool base_board_group = false;    // -b
    bool som_group = false;           // -y
    bool slice_group = false;         // -s
    std::uint8_t slice_num = 0;       // -s, already checked to be a slice 0..8
    std::uint8_t channel = 0;         // -c, command-line DSA channel 0 or 1; 2 for none
    std::uint8_t gpio_value = 0;      // -g
    bool gpio_set = false;            // -g
    const char *read_path = nullptr;  // -r: file that receives EEPROM contents
    const char *write_path = nullptr; // -w: file whose contents go to an EEPROM
    bool dsa_set = false;             // -a
    float dsa_db = 31.75f;            // -a
    bool psu_mon = false;             // -p
    bool ldo_set = false;             // -n
    std::uint8_t vdd_bit = 0;         // -n bit 2
    std::uint8_t v3p3_bit = 0;        // -n bit 1
    std::uint8_t v5p0_bit = 0;        // -n bit 0
    bool temp_read = false;           // -t
    bool fbsw_set = false;            // -f
    std::uint8_t fbsw_value = 0;      // -f
    bool intr_status = false;         // -i
    bool version_show = false;        // -v
    bool somcfg_show = false;         // -j
};

// An option text that was refused, as the error line names it.
struct option_refusal {
    int option;           // the short letter
    const char *text;     // as given on the command line
    const char *expected; // what the option takes
};

// What a command line asks for, before anything acts on it.
struct option_scan {
    tool_options opts;
    std::uint8_t log_level = 0; // from -l (the last one wins), else the level passed in
    bool usage = false;         // -h, -e, a bad option or a missing argument: scanning stopped
    // The first number that is not whole and in range (finite for -a), or
    // a DSA value for channel 2. Reported once the whole line is read, so
    // that the final -l decides whether the report is printed.
    std::optional<option_refusal> refused;
};

// Reads the whole command line and only reports what it found: it neither
// prints (apart from getopt_long's own words on a bad option) nor ends the
// process. Each call scans argv afresh; getopt_long may reorder argv.
option_scan read_options(int argc, char **argv, std::uint8_t log_level);

// Reads the whole command line through read_options and sets
// qelt_log_level. Returns only when every option was accepted: the usage
// requests show the usage, and a refused number is reported with an error
// line naming the option and its text; both end the process with exit
// status 1 before anything touches the board or the configuration file.
tool_options scan_options(int argc, char **argv);

// Prints the usage text and ends the process with exit status 1.
[[noreturn]] void show_usage(const char *program);
