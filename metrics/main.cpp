// qelt-metrics: reads the board once and writes its health in the
// Prometheus text exposition format, for node_exporter's textfile
// collector. It only reads: it never runs slice detection, switches a
// rail or writes a setting.
#include "board_pass.h"
#include "exposition.h"
#include "output.h"

#include <qelt/qelt.h>

#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr const char usage_text[] =
    "usage: qelt-metrics [--output FILE]\n"
    "\n"
    "Reads the board once and prints its health in the Prometheus text format.\n"
    "\n"
    "  -o, --output FILE  write FILE instead, replacing it atomically\n"
    "  -h, --help         show this help\n";

constexpr option long_options[] = {
    {"output", required_argument, nullptr, 'o'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

// A command line that cannot be carried out, named with the text at fault.
int refuse(const char *what, const char *text)
{
    std::fprintf(stderr, "qelt-metrics: %s '%s'\n%s", what, text, usage_text);
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    const char *output_path = nullptr;
    opterr = 0;
    for (int opt; (opt = getopt_long(argc, argv, ":o:h", long_options, nullptr)) != -1;) {
        if (opt == 'h') {
            std::fputs(usage_text, stdout);
            return 0;
        }
        if (opt != 'o')
            return refuse(opt == ':' ? "no value for" : "unknown option", argv[optind - 1]);
        if (*optarg == '\0')
            return refuse("no file name for", "--output");
        output_path = optarg;
    }
    if (optind < argc)
        return refuse("unexpected argument", argv[optind]);

    // The library reports on standard output, which carries the metrics:
    // its lines go to standard error instead.
    const int metrics_fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    std::fflush(stdout);
    dup2(STDERR_FILENO, STDOUT_FILENO);
    qelt_log_level = 1;

    const std::string text = exposition(read_board());
    std::fflush(stdout);

    if (output_path != nullptr) {
        std::string message;
        if (replace_file(output_path, text, message))
            return 0;
        std::fprintf(stderr, "qelt-metrics: %s\n", message.c_str());
        return 1;
    }
    if (metrics_fd >= 0 && write_all(metrics_fd, text))
        return 0;
    std::fprintf(stderr, "qelt-metrics: cannot write the metrics: %s\n", std::strerror(errno));
    return 1;
}
