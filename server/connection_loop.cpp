#include "connection_loop.h"

#include "monitoring.h"
#include "stop_signal.h"
#include "word_protocol.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <qelt/qelt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int listen_backlog = 5;
constexpr std::uint32_t receive_capacity = 0x10000;

std::uint8_t receive_buffer[receive_capacity];

// Errors that accept(2) passes on from a connection that failed before it
// was taken, or a signal that is not a stop signal: the next connection
// can still be accepted.
bool transient_accept_error(int error)
{
    switch (error) {
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
        return true;
    default:
        return false;
    }
}

// A host that vanishes without a FIN or RST (power lost, cable pulled)
// would hold the server for ever, since the server only ever reads. The
// kernel probes an idle connection and gives up on one whose probes or
// replies go unacknowledged, so that read() fails with ETIMEDOUT and the
// next host gets through within half a minute. A living host answers the
// probes and keeps its connection as long as it likes.
void watch_for_dead_peer(int fd)
{
    static constexpr int on = 1, idle_s = 10, interval_s = 5, probes = 3;
    static constexpr unsigned unacknowledged_ms = (idle_s + probes * interval_s) * 1000;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle_s, sizeof idle_s);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval_s, sizeof interval_s);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &unacknowledged_ms, sizeof unacknowledged_ms);
}

int accept_client()
{
    std::printf("--- hwc: waiting for connection\n");
    for (;;) {
        sockaddr_in peer{};
        socklen_t peer_len = sizeof peer;
        const int fd = stop_signalled
                           ? -1
                           : accept4(listen_socket, reinterpret_cast<sockaddr *>(&peer), &peer_len, SOCK_CLOEXEC);
        if (fd >= 0) {
            watch_for_dead_peer(fd);
            return fd;
        }
        const int error = errno;
        if (stop_signalled || !transient_accept_error(error))
            break;
        if (error != EINTR)
            std::printf("!!! hwc: accept failed (%s), waiting for the next connection\n", std::strerror(error));
    }
    std::printf("*** hwc: failed accepting connection\n");
    if (stop_signalled)
        qelt_led_clear(0);
    std::exit(-1);
}

// A read that a stop signal has already made pointless fails like one the
// signal interrupted, even when the signal came between two reads or just
// before this one (its handler then shut the socket down under it, and the
// read sees an end of stream). Only the stop signals have a handler, so an
// EINTR without one comes from a signal that is ignored; qemu-user lets
// those interrupt a read too.
ssize_t read_client(std::uint32_t room)
{
    for (;;) {
        const ssize_t got = stop_signalled ? -1 : read(client_socket, receive_buffer, room);
        if (stop_signalled) {
            errno = EINTR;
            return -1;
        }
        if (got >= 0 || errno != EINTR)
            return got;
    }
}

// Errors of the connection itself: the client reset it, or it or its path
// died (keepalive or unacknowledged data timed out, the host became
// unreachable). That ends its connection only, or any client could stop
// the server for the next one. Every other read error, the stop signal's
// among them, stops the server.
bool client_gone(int error)
{
    switch (error) {
    case ECONNRESET:
    case ECONNABORTED:
    case ETIMEDOUT:
    case EHOSTUNREACH:
    case EHOSTDOWN:
    case ENETUNREACH:
    case ENETDOWN:
    case ENETRESET:
    case EPIPE:
        return true;
    default:
        return false;
    }
}

// Serves one connection; returns false when the server must stop.
bool serve_connection(ring_buffer *ring, worker_pool *pool)
{
    bool keep_serving = true;
    for (bool closed = false; !closed;) {
        const ssize_t got = read_client(ring_buffer_bytes_free(ring));
        if (got > 0) {
            ring_buffer_write(ring, receive_buffer, static_cast<std::uint32_t>(got));
            // A stop signal during a request (a long shell command) leaves
            // it to the next read to end the server as an interrupted read.
            closed = process_rx_stream(ring, client_socket) != 0 && !stop_signalled;
            if (closed)
                std::printf("!!! hwc: closing connection\n");
        } else if (got == 0) {
            closed = true;
            std::printf("!!! hwc: closing connection\n");
        } else {
            const int error = errno;
            closed = true;
            keep_serving = client_gone(error);
            std::printf("*** hwc: error=%d - closing connection\n", error);
        }
        follow_monitor_flag(pool);
    }
    close_socket(client_socket);
    // What the client left unfinished must not become the start of the
    // next client's stream.
    ring_buffer_reset(ring);
    return keep_serving;
}

} // namespace

void open_listen_socket(int port)
{
    listen_socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_socket < 0)
        std::printf("*** hwc: Failed creating socket\n");
    const int on = 1;
    if (setsockopt(listen_socket, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0)
        std::printf("*** hwc: setsockopt(SO_REUSEPORT) failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (bind(listen_socket, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        std::printf("*** hwc: Failed to bind\n");
    listen(listen_socket, listen_backlog);
}

void serve_clients(ring_buffer *ring, worker_pool *pool)
{
    for (bool serving = true; serving;) {
        client_socket = accept_client();
        std::printf("--- hwc: connected\n");
        serving = serve_connection(ring, pool);
    }
}
