// The slice configuration file: DSA and rail settings that the library
// cannot read back from the hardware, kept as text between runs and shared
// by the command server and the board control tool.
//
// Ten lines: one row per slice 0..8, then the board's VDCDC voltage.
#pragma once

#include <qelt/qelt.h>

inline constexpr const char *slice_cfg_path = "/tmp/qelt-slice-cfg.bin";

namespace slice_cfg {

// Both programs load the file, change their table and save it again. The
// lock file beside it is held exclusively for that whole span, so that two
// programs changing different slices at the same time both keep their
// change instead of the later save dropping the other's.
inline constexpr const char *lock_path = "/tmp/qelt-slice-cfg.lock";

// Holds the update lock from construction to destruction. A lock file that
// cannot be opened is reported, and the program goes on without the lock:
// the settings must stay usable on a read-only /tmp.
class update_lock {
  public:
    update_lock();
    ~update_lock();
    update_lock(const update_lock &) = delete;
    update_lock &operator=(const update_lock &) = delete;

  private:
    int fd_;
};

// True when the file exists (an existence test, not an open).
bool exists();

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

} // namespace slice_cfg
