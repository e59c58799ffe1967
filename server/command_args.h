// The arguments of a text command, read one at a time after its word the
// way sscanf's "%d" and "%f" read them, except that a whole number is taken
// only inside the range its use allows: a number beyond it, also beyond 32
// or 64 bits, is refused rather than wrapped onto a value that is in range
// (4294967299 is not slice 3).
#pragma once

#include <qelt/qelt.h>

#include <cstdint>

struct arg_range {
    long long lo, hi;
};

inline constexpr arg_range slice_range{0, QELT_SLICE_COUNT - 1};
inline constexpr arg_range dsa_channel_range{0, 3};
inline constexpr arg_range dsa_stage_range{0, 1};
inline constexpr arg_range detect_channel_range{0, 3};
// Bytes of an EEPROM payload: neither image nor the work buffer holds more.
inline constexpr arg_range payload_range{0, 32768};
// A flag or small setting the library takes as a byte: any byte value,
// read as signed or unsigned (-1 is 255).
inline constexpr arg_range byte_range{-128, 255};
inline constexpr arg_range u32_range{0, UINT32_MAX};

class command_args {
  public:
    // Positioned after the command word.
    explicit command_args(const char *request);

    // The next argument as a decimal whole number inside range; false when
    // it is missing, not a number or outside the range.
    template <typename T> bool whole(T &value, arg_range range)
    {
        long long v = 0;
        if (!next_whole(v, range))
            return false;
        value = static_cast<T>(v);
        return true;
    }
    bool real(float &value);

    // Where the text after the arguments read so far begins, past the
    // blanks that follow them (a payload's first byte).
    const char *rest() const;

  private:
    bool next_whole(long long &value, arg_range range);
    const char *pos_;
};
