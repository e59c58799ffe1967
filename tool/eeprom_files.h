// EEPROM data files named on the command line: raw bytes, read into an
// image before a device is written, written from one after it was read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>

// The base-board message texts end in a visible "\n" marker, the slice
// ones do not; callers pass the ending their messages carry.
inline constexpr const char base_board_ending[] = " \\n";
inline constexpr const char slice_ending[] = "";

// Reads the whole file at `path` into `image` and prints its byte count.
// A file that cannot be opened or read, or one that does not fit into the
// image, is reported and gives no count: nothing of it may reach a device.
std::optional<std::size_t> load_eeprom_file(const char *path, std::span<std::uint8_t> image,
                                            const char *ending);

// Creates (or truncates) the file that receives a device's contents; done
// before the device is read so that a bad path costs no bus traffic.
// Reports a failure and returns nullptr.
std::FILE *create_eeprom_file(const char *path, const char *ending);

// Writes `data` to the file made by create_eeprom_file, closes it and
// says so. False, after an error line, when the data did not reach it.
bool store_eeprom_file(std::FILE *file, const char *path, std::span<const std::uint8_t> data);
