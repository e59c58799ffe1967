// The tool's own diagnostics, in the library's line format so that an
// operator reads one kind of line whoever reported it. Every line names
// "main" as its reporter, the name operators know the tool's lines by, but
// carries the source line of the file that reported it, which is seldom
// main.cpp.
#pragma once

// Printed when qelt_log_level is not 0.
void tool_error(int line, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// Printed when qelt_log_level is above 2.
void tool_info(int line, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// The helper adds the double quotes around the message. Some messages end
// in a visible backslash and n (two characters), as the library's do.
#define TOOL_ERROR(...) tool_error(__LINE__, __VA_ARGS__)
#define TOOL_INFO(...) tool_info(__LINE__, __VA_ARGS__)
