#include "stop_signal.h"

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

volatile sig_atomic_t listen_socket = -1;
volatile sig_atomic_t client_socket = -1;
volatile sig_atomic_t stop_signalled = 0;
volatile sig_atomic_t shell_group = 0;

namespace {

constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

sigset_t stop_signal_set()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : stop_signals)
        sigaddset(&set, sig);
    return set;
}

void shut_down_if_open(volatile sig_atomic_t &socket)
{
    if (socket >= 0)
        shutdown(socket, SHUT_RDWR);
}

// Only async-signal-safe work here: the library takes a board lock that
// the interrupted thread may hold, so LED 0 is put out by the main thread
// once the interrupted call has failed. The sockets are shut down, not
// closed: the main thread closes them once its call on them has returned.
void handle_stop_signal(int)
{
    static constexpr char message[] = "--- hwc: Closing socket connections\n";
    const int saved_errno = errno;
    stop_signalled = 1;
    [[maybe_unused]] const ssize_t ignored = write(STDOUT_FILENO, message, sizeof message - 1);
    shut_down_if_open(client_socket);
    shut_down_if_open(listen_socket);
    if (shell_group > 0)
        kill(-shell_group, SIGKILL);
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

stop_signals_blocked::stop_signals_blocked()
{
    const sigset_t set = stop_signal_set();
    pthread_sigmask(SIG_BLOCK, &set, &previous_);
}

stop_signals_blocked::~stop_signals_blocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

void close_socket(volatile sig_atomic_t &socket)
{
    const stop_signals_blocked blocked;
    const int fd = socket;
    socket = -1;
    if (fd >= 0)
        close(fd);
}

bool sleep_unless_stopped(std::chrono::nanoseconds duration)
{
    using namespace std::chrono;
    // The signals are let in only inside ppoll, atomically with the start
    // of the sleep: one that came before it is pending and ends it at once.
    const stop_signals_blocked blocked;
    sigset_t during = blocked.previous();
    for (const int sig : stop_signals)
        sigdelset(&during, sig);
    const auto end = steady_clock::now() + duration;
    // Another signal (qemu-user lets ignored ones through) only shortens
    // one ppoll, not the sleep.
    for (auto left = duration; stop_signalled == 0 && left > 0ns; left = end - steady_clock::now()) {
        const auto whole = duration_cast<seconds>(left);
        const timespec wait{static_cast<time_t>(whole.count()), static_cast<long>((left - whole).count())};
        ppoll(nullptr, 0, &wait, &during);
    }
    return stop_signalled == 0;
}
