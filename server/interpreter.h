// The text command interpreter: one line of text naming a board operation
// with its arguments, run through the library on the server's board
// state, answered with a one-line reply that begins with "cmd_status".
#pragma once

#include <cstddef>

// request: the zero-terminated command text. reply: the caller's reply
// buffer of `capacity` bytes, already holding one blank. Returns 1 when
// the command succeeded and -1 when it failed or was refused. A request
// without a first word, or whose first word lacks the "qelt_" prefix,
// leaves the reply as it was.
int interpret_command(const char *request, char *reply, std::size_t capacity);

// The body behind the prefix check: trace line, lookup and the command.
int execute_command(const char *request, char *reply, std::size_t capacity);
