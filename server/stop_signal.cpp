#include "stop_signal.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <iterator>

volatile sig_atomic_t listen_socket = -1;
volatile sig_atomic_t client_socket = -1;
volatile sig_atomic_t stop_signalled = 0;

namespace {

constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

void close_if_open(volatile sig_atomic_t &socket)
{
    if (socket >= 0) {
        close(socket);
        socket = -1;
    }
}

// Only async-signal-safe work here: the library takes a board lock that
// the interrupted thread may hold, so LED 0 is put out by the main thread
// once the interrupted call has failed.
void handle_stop_signal(int)
{
    static constexpr char message[] = "--- hwc: Closing socket connections\n";
    const int saved_errno = errno;
    stop_signalled = 1;
    [[maybe_unused]] const ssize_t ignored = write(STDOUT_FILENO, message, sizeof message - 1);
    close_if_open(client_socket);
    close_if_open(listen_socket);
    errno = saved_errno;
}

} // namespace

void install_stop_handlers()
{
    for (const int sig : stop_signals) {
        struct sigaction current {};
        if (sigaction(sig, nullptr, &current) != 0 || current.sa_handler == SIG_IGN)
            continue;
        struct sigaction action {};
        action.sa_handler = handle_stop_signal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        sigaction(sig, &action, nullptr);
    }
}

void close_socket(volatile sig_atomic_t &socket)
{
    sigset_t blocked, old;
    sigemptyset(&blocked);
    for (const int sig : stop_signals)
        sigaddset(&blocked, sig);
    pthread_sigmask(SIG_BLOCK, &blocked, &old);
    close_if_open(socket);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}
