#include "shell_command.h"

#include "stop_signal.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <csignal>

extern char **environ;

namespace {

// The file actions and attributes of one spawn, released on every path.
struct spawn_setup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    spawn_setup()
    {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attr);
    }
    ~spawn_setup()
    {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
    spawn_setup(const spawn_setup &) = delete;
    spawn_setup &operator=(const spawn_setup &) = delete;
};

} // namespace

int run_shell_command(const char *text, const char *output_path)
{
    spawn_setup setup;
    posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&setup.actions, 1, output_path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    char shell[] = "sh", option[] = "-c";
    char *const argv[] = {shell, option, const_cast<char *>(text), nullptr};
    pid_t pid = -1;
    {
        // The group is known to the stop handler before a stop signal can
        // be taken; the shell starts with the mask the server had.
        const stop_signals_blocked blocked;
        posix_spawnattr_setpgroup(&setup.attr, 0);
        posix_spawnattr_setsigmask(&setup.attr, &blocked.previous());
        posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
        if (posix_spawn(&pid, "/bin/sh", &setup.actions, &setup.attr, argv, environ) != 0)
            return -1;
        shell_group = pid;
        if (stop_signalled)
            kill(-pid, SIGKILL);
    }
    // A stop signal now kills the group, which ends the wait.
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    const stop_signals_blocked blocked;
    shell_group = 0;
    return 0;
}
