// The text command interpreter: one line of request text, answered with
// a one-line reply. A blank request is answered with a single blank and
// "echo WORD" with "echo: WORD"; every other text names a board operation
// with its arguments, run through the library on the server's board
// state and answered with a reply that begins with "cmd_status".
#pragma once

#include <cstddef>

// request: the zero-terminated command text. reply: the caller's buffer of
// `size` bytes; it receives a zero-terminated text. Returns 0 (blank), 1
// (echo or a command that succeeded) or -1 (a command that failed or was
// refused; a text without the "qelt_" prefix is answered with the blank).
int process_command(const char *request, char *reply, std::size_t size);
