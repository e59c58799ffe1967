#include "tool_log.h"

#include "log_line.h"

#include <cstdarg>

using qelt::log_line::kind;

void tool_error(int line, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    qelt::log_line::vprint(kind::error, "main", line, fmt, args);
    va_end(args);
}

void tool_info(int line, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    qelt::log_line::vprint(kind::info, "main", line, fmt, args);
    va_end(args);
}
