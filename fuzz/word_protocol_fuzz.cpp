// The word protocol decoder on an arbitrary byte stream. The stream is cut
// into reads of arbitrary sizes and fed through the ring exactly as the
// connection loop feeds it: each read at most the ring's free space, then
// one decoding run that sends its responses. A stream the server would
// close is dropped with the ring reset, as for the next connection.
// READ and WRITE reach the simulated board's memory; COMMAND text reaches
// the interpreter.
#include "fuzz_board.h"
#include "ring_buffer.h"
#include "word_protocol.h"

#include <sys/socket.h>
#include <unistd.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <thread>
#include <vector>

namespace {

ring_buffer *ring = nullptr;
int response_socket = -1;

// Responses leave through one end of a socket pair; a thread swallows them
// at the other, so a send never blocks for long.
void open_response_socket()
{
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        std::abort();
    response_socket = ends[0];
    std::thread([peer = ends[1]] {
        static char sink[1 << 16];
        while (read(peer, sink, sizeof sink) > 0) {
        }
    }).detach();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qelt_fuzz::set_up_board();
    open_response_socket();
    ring = ring_buffer_create(0x10000);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzedDataProvider stream(data, size);
    ring_buffer_reset(ring); // every input is a connection of its own
    while (stream.remaining_bytes() > 0) {
        const std::uint32_t room = ring_buffer_bytes_free(ring);
        if (room == 0)
            break; // the connection loop reads nothing more: it closes
        const auto read_size = stream.ConsumeIntegralInRange<std::uint32_t>(1, room);
        const std::vector<std::uint8_t> got = stream.ConsumeBytes<std::uint8_t>(read_size);
        if (got.empty())
            break;
        ring_buffer_write(ring, got.data(), static_cast<std::uint32_t>(got.size()));
        if (process_rx_stream(ring, response_socket) != 0)
            ring_buffer_reset(ring);
    }
    return 0;
}
