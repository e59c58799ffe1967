// The board control tool's command line: the input's zero-separated pieces
// are the arguments after the program name. A line the tool would act on
// must hold only values in range.
#include "options.h"

#include <getopt.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr std::size_t max_arguments = 64;

bool in_range(const option_scan &scan)
{
    const tool_options &o = scan.opts;
    return o.slice_num <= 8 && o.channel <= 2 && o.gpio_value <= 0x3F && scan.log_level <= 3 &&
           std::isfinite(o.dsa_db) && (!o.dsa_set || o.channel <= 1);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    opterr = 0; // getopt_long's own complaints would only slow the run
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::vector<std::string> pieces(1, "qelt-boardctl");
    pieces.emplace_back();
    for (std::size_t i = 0; i < size && pieces.size() <= max_arguments; ++i) {
        if (data[i] == '\0')
            pieces.emplace_back();
        else
            pieces.back() += static_cast<char>(data[i]);
    }
    std::vector<char *> argv;
    for (std::string &p : pieces)
        argv.push_back(p.data());
    argv.push_back(nullptr);
    const option_scan scan = read_options(static_cast<int>(pieces.size()), argv.data(), 1);
    if (!scan.usage && !scan.refused && !in_range(scan))
        __builtin_trap();
    return 0;
}
