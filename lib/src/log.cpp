#include "log.h"

#include <qelt/qelt.h>

#include <cstdarg>
#include <cstdio>

uint8_t qelt_log_level = 0;

namespace qelt {
namespace {

enum class kind : std::uint8_t { error = 1, warning = 2, info = 3 };

// The comparison is unsigned on purpose: a level above 3 enables
// everything that is gated on "at least".
bool enabled(kind k) { return qelt_log_level != 0 && qelt_log_level >= static_cast<std::uint8_t>(k); }

void emit(const char *head, const site *where, const char *fmt, va_list args)
{
    // One locked sequence keeps a line whole when several threads report.
    flockfile(stdout);
    if (where != nullptr)
        std::printf(head, where->func, where->line);
    else
        std::fputs(head, stdout);
    std::putchar('"');
    std::vprintf(fmt, args);
    std::fputs("\"\n", stdout);
    funlockfile(stdout);
}

} // namespace

#define QELT_DEFINE_LOG(name, kind_value, head)                                                              \
    void name(site where, const char *fmt, ...)                                                              \
    {                                                                                                        \
        if (!enabled(kind_value))                                                                            \
            return;                                                                                          \
        va_list args;                                                                                        \
        va_start(args, fmt);                                                                                 \
        emit(head, &where, fmt, args);                                                                       \
        va_end(args);                                                                                        \
    }

QELT_DEFINE_LOG(log_error, kind::error, "Error : %s(%d) :")
QELT_DEFINE_LOG(log_warning, kind::warning, "WARNING : %s(%d) :")
QELT_DEFINE_LOG(log_info, kind::info, "INFO : %s(%d) :")

void log_alert(const char *fmt, ...)
{
    if (!enabled(kind::error))
        return;
    va_list args;
    va_start(args, fmt);
    emit("System Interrupt :", nullptr, fmt, args);
    va_end(args);
}

bool info_enabled() { return enabled(kind::info); }

bool dump_enabled() { return qelt_log_level == 3; }

} // namespace qelt
