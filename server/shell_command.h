// The shell command a host can have the server run.
#pragma once

// Runs `/bin/sh -c text` as a process group of its own, with standard
// input from /dev/null and standard output into output_path (created or
// truncated), and waits for it to end. Nothing the server holds (the slice
// table, the board) stays locked meanwhile. A stop signal kills the whole
// group, so that a command that never ends cannot keep the server from
// stopping. 0 when the shell ran, whatever its exit status; -1 when it
// could not be started.
int run_shell_command(const char *text, const char *output_path);
