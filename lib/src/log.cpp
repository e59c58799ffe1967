#include "log.h"

#include "log_line.h"

#include <cstdarg>

uint8_t qelt_log_level = 0;

namespace qelt {

#define QELT_DEFINE_LOG(name, line_kind)                                                                     \
    void name(site where, const char *fmt, ...)                                                              \
    {                                                                                                        \
        va_list args;                                                                                        \
        va_start(args, fmt);                                                                                 \
        log_line::vprint(line_kind, where.func, where.line, fmt, args);                                      \
        va_end(args);                                                                                        \
    }

QELT_DEFINE_LOG(log_error, log_line::kind::error)
QELT_DEFINE_LOG(log_warning, log_line::kind::warning)
QELT_DEFINE_LOG(log_info, log_line::kind::info)

void log_alert(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    log_line::vprint(log_line::kind::alert, nullptr, 0, fmt, args);
    va_end(args);
}

bool info_enabled() { return log_line::enabled(log_line::kind::info); }

bool dump_enabled() { return qelt_log_level == 3; }

} // namespace qelt
