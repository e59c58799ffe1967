// One diagnostic line as every part of the system prints it: a head naming
// the reporter and its source line, the message in double quotes, and a
// newline, gated by qelt_log_level. The library exports nothing but its C
// interface, so the library, the board control tool, the command server's
// monitoring routines and the slice configuration file each compile this
// same code into themselves.
#pragma once

#include <qelt/qelt.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>

namespace qelt::log_line {

// The alert is the rail-monitor report: a head of its own, no reporter.
enum class kind : std::uint8_t { error, warning, info, alert };

// The comparison is unsigned on purpose: a level above 3 enables
// everything that is gated on "at least".
inline bool enabled(kind k)
{
    const std::uint8_t needed = k == kind::warning ? 2 : k == kind::info ? 3 : 1;
    return qelt_log_level != 0 && qelt_log_level >= needed;
}

__attribute__((format(printf, 4, 0))) inline void vprint(kind k, const char *func, int line, const char *fmt,
                                                         va_list args)
{
    if (!enabled(k))
        return;
    // One locked sequence keeps a line whole when several threads report.
    flockfile(stdout);
    switch (k) {
    case kind::error:
        std::printf("Error : %s(%d) :", func, line);
        break;
    case kind::warning:
        std::printf("WARNING : %s(%d) :", func, line);
        break;
    case kind::info:
        std::printf("INFO : %s(%d) :", func, line);
        break;
    case kind::alert:
        std::fputs("System Interrupt :", stdout);
        break;
    }
    std::putchar('"');
    std::vprintf(fmt, args);
    std::fputs("\"\n", stdout);
    funlockfile(stdout);
}

__attribute__((format(printf, 4, 5))) inline void print(kind k, const char *func, int line, const char *fmt,
                                                        ...)
{
    va_list args;
    va_start(args, fmt);
    vprint(k, func, line, fmt, args);
    va_end(args);
}

} // namespace qelt::log_line
