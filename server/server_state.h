// The board state the server owns for its whole run, shared by the text
// command interpreter and the monitoring routines of the worker pool.
#pragma once

#include <qelt/qelt.h>

#include <cstdint>
#include <mutex>

// Guards the slice table, the SOM record and the library's data objects
// (log level, threshold tables) between the main thread and the monitoring
// workers. The interpreter holds it for a whole command, a routine for one
// slice at a time, so a reply never mixes readings of two passes and a
// command waits for one reading at most.
extern std::mutex slice_table_mutex;

// Slices 0..8; the library reads the settings it applies from these
// records and stores what it measures into them.
extern qelt_slice slice_table[QELT_SLICE_COUNT];
extern qelt_som som_record;
// Filled by the version command: byte 0 minor, byte 1 major.
extern std::uint8_t sw_version[2];
// 1 while background monitoring should run. Written by the interpreter,
// applied to the worker pool by the connection loop after every read;
// both run on the main thread.
extern std::uint8_t monitor_enabled;
