#include "request.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

int reply_failure(const request_context &rq)
{
    std::snprintf(rq.reply, rq.capacity, "cmd_status %d", status_failed);
    return -1;
}

int reply_text(const request_context &rq, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    const int n = std::vsnprintf(rq.reply, rq.capacity, fmt, args);
    va_end(args);
    if (n < 0 || static_cast<std::size_t>(n) >= rq.capacity)
        return reply_failure(rq);
    return 1;
}

int reply_bytes(const request_context &rq, const char *word, const std::uint8_t *bytes, std::size_t n)
{
    const int head = std::snprintf(rq.reply, rq.capacity, "cmd_status %d %s ", status_ok, word);
    if (head < 0 || static_cast<std::size_t>(head) + n >= rq.capacity)
        return reply_failure(rq);
    std::memcpy(rq.reply + head, bytes, n);
    rq.reply[static_cast<std::size_t>(head) + n] = '\0';
    return 1;
}

int reply_readings(const request_context &rq, const float (&psu)[6])
{
    return reply_text(rq, "cmd_status %d psu %0.3f %0.3f %0.3f %0.3f %0.3f %0.3f", status_ok, psu[0], psu[1],
                      psu[2], psu[3], psu[4], psu[5]);
}
