// Where the metrics go: standard output, or a file replaced atomically so
// that node_exporter never reads half of it.
#pragma once

#include <string>

// Writes all of text to the descriptor. False (errno set) when it could not.
bool write_all(int fd, const std::string &text);

// Writes text to a new file in the folder of path, then renames it over
// path: a reader sees the old file or the new one, never a part of either.
// The new file is readable by everyone, as node_exporter (running as its
// own user) must read it. On failure nothing is left behind and the message
// says what failed.
bool replace_file(const std::string &path, const std::string &text, std::string &message);
