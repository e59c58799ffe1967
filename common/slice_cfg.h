// The slice configuration file: DSA and rail settings that the library
// cannot read back from the hardware, kept as text between runs and shared
// by the command server and the board control tool.
//
// Ten lines: one row per slice 0..8, then the board's VDCDC voltage.
#pragma once

#include <qelt/qelt.h>

inline constexpr const char *slice_cfg_path = "/tmp/qelt-slice-cfg.bin";

// True when the file exists (an existence test, not an open).
bool slice_cfg_exists();

// Writes the whole table to the file, replacing any old one. The new file
// is written beside the old one and renamed over it, so a reader never
// sees half a file and a failed write keeps the previous settings.
// 0, or 1 when the file cannot be written.
int create_file(const qelt_slice *table);

// Reads the file into the table. Only rows of present slices change their
// records; a row or a file cut short leaves what it does not carry as it
// was. 0, or 1 when the file cannot be opened.
int sync_file(qelt_slice *table);

// Cuts one line into fields in place; fields has room for max_fields.
// Returns 0; *count receives the number of fields found.
int split_fields(char *line, char **fields, int max_fields, int *count);

// Sets initialised to 0 in all nine records.
void clear_initialised(qelt_slice *table);
