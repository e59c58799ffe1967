// Diagnostics shared by every library operation.
//
// A line is a head naming the reporting function and source line, the
// message in double quotes, and a newline. The head and its gate depend on
// the kind; the level byte is read on every decision because the programs
// change it at any time.
#pragma once

#include <cstdint>

namespace qelt {

// Where a report comes from: the operation's name and the source line.
struct site {
    const char *func;
    int line;
};

#define QELT_HERE (::qelt::site{__func__, __LINE__})

void log_error(site where, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void log_warning(site where, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void log_info(site where, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// The rail-monitor alert report: its own head, printed at any level but 0.
void log_alert(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Information lines whose arguments cost something to compute (or that are
// printed in pieces) ask first.
bool info_enabled();

// EEPROM data dumps are printed at level 3 exactly, not above.
bool dump_enabled();

} // namespace qelt
