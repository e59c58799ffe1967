#include "tool_log.h"

#include <qelt/qelt.h>

#include <cstdarg>
#include <cstdio>

namespace {

void emit(const char *head, int line, const char *fmt, va_list args)
{
    std::printf(head, "main", line);
    std::putchar('"');
    std::vprintf(fmt, args);
    std::fputs("\"\n", stdout);
}

} // namespace

void tool_error(int line, const char *fmt, ...)
{
    if (qelt_log_level == 0)
        return;
    va_list args;
    va_start(args, fmt);
    emit("Error : %s(%d) :", line, fmt, args);
    va_end(args);
}

void tool_info(int line, const char *fmt, ...)
{
    if (qelt_log_level <= 2)
        return;
    va_list args;
    va_start(args, fmt);
    emit("INFO : %s(%d) :", line, fmt, args);
    va_end(args);
}
