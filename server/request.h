// One text command as its handler sees it, and the replies every handler
// shares. Replies replace the reply buffer's content with one zero-
// terminated line that begins with "cmd_status".
#pragma once

#include <cstddef>
#include <cstdint>

struct request_context {
    const char *request; // the whole command text, command word first
    char *reply;
    std::size_t capacity; // of reply, terminator included
};

inline constexpr int status_ok = 2;
inline constexpr int status_failed = -1;

// "cmd_status -1"; returns -1.
int reply_failure(const request_context &rq);

// Formats the whole reply; returns 1, or the failure reply when the text
// would not fit with its terminator.
int reply_text(const request_context &rq, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// "cmd_status 2 <word> " followed by n raw bytes. A reply that would not
// fit is refused rather than cut, so a client never takes a partial image
// for the whole one.
int reply_bytes(const request_context &rq, const char *word, const std::uint8_t *bytes, std::size_t n);

// "cmd_status 2 psu" and six rail readings.
int reply_readings(const request_context &rq, const float (&psu)[6]);
