// qelt-cmdsrv: drives the board for a remote host over TCP port 4321.
// Announces itself, lights LED 0, makes sure eth0 has an address and
// publishes it for the host, then serves one client at a time until a read
// fails or a stop signal arrives.
#include "connection_loop.h"
#include "eth0_address.h"
#include "monitoring.h"
#include "ring_buffer.h"
#include "spis.h"
#include "stop_signal.h"

#include <qelt/qelt.h>

#include <cstdio>
#include <optional>

namespace {

constexpr int server_port = 4321;
constexpr int ring_capacity = 0x10000;
constexpr unsigned version_major = 1;
constexpr unsigned version_minor = 3;

} // namespace

int main()
{
    // The stop handler writes straight to the descriptor: keep what was
    // printed before it in order.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("--- hwc: Starting QELT TCP Server\n");
    std::printf("--- hwc: QELT SW Version %u.%u\n", version_major, version_minor);
    qelt_led_set(0);
    install_stop_handlers();

    const std::optional<std::uint32_t> address = acquire_server_address(server_port);
    if (!address) {
        std::printf("--- hwc: stopped during start-up\n");
        qelt_led_clear(0);
        return 0;
    }
    publish_spis_registers(*address, 1, 1);
    std::printf("--- hwc: Server port : %d\n", server_port);
    open_listen_socket(server_port);
    ring_buffer *ring = ring_buffer_create(ring_capacity);
    worker_pool *pool = start_monitoring();

    serve_clients(ring, pool);

    std::printf("--- hwc: closing socket\n");
    close_socket(listen_socket);
    stop_monitoring(pool);
    ring_buffer_destroy(ring);
    if (stop_signalled)
        qelt_led_clear(0);
    return 0;
}
