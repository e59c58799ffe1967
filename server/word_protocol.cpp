#include "word_protocol.h"

#include "interpreter.h"
#include "phys_mem.h"

#include <arpa/inet.h>
#include <endian.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <optional>

namespace {

// Fixed for the whole run: a request never allocates.
std::uint32_t tx_buffer[tx_capacity_words];
// COMMAND text words, with one more word that always terminates the text.
std::uint32_t request_words[max_command_words + 1];
alignas(4) char reply_text[text_capacity];
// Data of one WRITE, in host order. A WRITE must fit the ring, so this
// holds the longest one the ring can.
std::uint32_t write_data[0x10000 / 4];

struct header {
    std::uint32_t magic, addr_lo, addr_hi, length, options;
    std::uint64_t address() const { return (std::uint64_t{addr_hi} << 32) | addr_lo; }
};

header peek_header(const ring_buffer *ring)
{
    return {ring_buffer_peek_word(ring, 0), ring_buffer_peek_word(ring, 1), ring_buffer_peek_word(ring, 2),
            ring_buffer_peek_word(ring, 3), ring_buffer_peek_word(ring, 4)};
}

// Whether the request could ever be answered: one that cannot would block
// every later request of the stream for good. Sums are taken in 64 bits so
// that no length can wrap them.
bool servable(const header &h, const ring_buffer *ring)
{
    const std::uint64_t ring_words = ring->capacity / 4;
    const std::uint64_t total = std::uint64_t{header_words} + h.length;
    switch (h.magic) {
    case magic_read:
        return h.length <= max_read_words;
    case magic_write:
        return total <= ring_words && h.length <= std::size(write_data);
    case magic_command:
        return total <= ring_words && h.length <= max_command_words;
    default:
        return false;
    }
}

void report_unservable(const header &h)
{
    if (h.magic != magic_read && h.magic != magic_write && h.magic != magic_command)
        std::printf("*** hwc: Received invalid message\n");
    else
        std::printf("*** hwc: Request 0x%08x of %u words can never be served\n", h.magic, h.length);
}

std::uint32_t request_words_of(const header &h)
{
    return h.magic == magic_read ? header_words : header_words + h.length;
}

// Room a request needs in the response area. A COMMAND is decoded only
// while the longest possible reply still fits.
std::uint32_t response_room_of(const header &h)
{
    switch (h.magic) {
    case magic_read:
        return header_words + h.length;
    case magic_command:
        return header_words + max_command_words;
    default:
        return header_words;
    }
}

std::uint32_t *append_header(std::uint32_t *out, const header &h, std::uint32_t length)
{
    const bool memory = h.magic != magic_command;
    *out++ = htonl(h.magic ^ response_magic_xor);
    *out++ = htonl(memory ? h.addr_lo : 0);
    *out++ = htonl(memory ? h.addr_hi : 0);
    *out++ = htonl(length);
    *out++ = htonl(memory ? h.options : 0);
    return out;
}

// Physical memory (type 0) at whole-word addresses is served; any other
// request is answered with its echoed header alone and touches nothing.
bool memory_served(const header &h)
{
    const unsigned mem_type = h.options >> 24;
    if (mem_type != 0) {
        std::printf("*** hwc: Unrecognised mem_type = %u in options\n", mem_type);
        return false;
    }
    if (h.address() % 4 != 0) {
        std::printf("*** hwc: Address 0x%010llX is not a multiple of 4\n",
                    static_cast<unsigned long long>(h.address()));
        return false;
    }
    return true;
}

// The response words of a READ or WRITE, or nothing when physical memory
// could not be mapped (reported): that request can never be served.
std::optional<std::uint32_t> serve_read(ring_buffer *ring, const header &h, std::uint32_t *out)
{
    ring_buffer_skip_words(ring, header_words);
    out = append_header(out, h, h.length);
    if (!memory_served(h))
        return header_words;
    if (mem_read_words(h.address(), h.length, out, true) != 0)
        return std::nullopt;
    return header_words + h.length;
}

std::optional<std::uint32_t> serve_write(ring_buffer *ring, const header &h, std::uint32_t *out)
{
    ring_buffer_skip_words(ring, header_words);
    ring_buffer_read_words(ring, write_data, h.length);
    append_header(out, h, h.length);
    if (memory_served(h) && mem_write_words(h.address(), h.length, write_data, false) != 0)
        return std::nullopt;
    return header_words;
}

// Text travels four characters to a word, the first in the least
// significant byte: that is the little-endian layout of the word.
const char *unpack_request(ring_buffer *ring, const header &h)
{
    ring_buffer_skip_words(ring, header_words);
    ring_buffer_read_words(ring, request_words, h.length);
    for (std::uint32_t i = 0; i < h.length; ++i)
        request_words[i] = htole32(request_words[i]);
    request_words[h.length] = 0; // bounds a text that brought no terminator
    const char *text = reinterpret_cast<const char *>(request_words);
    if (std::memchr(text, 0, 4 * std::size_t{h.length}) == nullptr)
        std::printf("*** hwc : command request is not valid string (no zero termination)\n");
    return text;
}

std::uint32_t pack_reply(std::uint32_t *out)
{
    std::size_t n = strnlen(reply_text, sizeof reply_text);
    if (n == sizeof reply_text) {
        std::printf("*** hwc : command response is not valid string (no zero termination)\n");
        n = sizeof reply_text - 1;
    }
    const std::size_t words = (n + 1 + 3) / 4;
    std::memset(reply_text + n, 0, 4 * words - n);
    for (std::size_t i = 0; i < words; ++i) {
        std::uint32_t w;
        std::memcpy(&w, reply_text + 4 * i, sizeof w);
        out[i] = htonl(le32toh(w));
    }
    return static_cast<std::uint32_t>(words);
}

std::uint32_t serve_command(ring_buffer *ring, const header &h, std::uint32_t *out)
{
    const char *text = unpack_request(ring, h);
    if (process_command(text, reply_text, sizeof reply_text) < 0)
        std::printf("*** hwc : command processing failed\n");
    const std::uint32_t words = pack_reply(out + header_words);
    append_header(out, h, words);
    return header_words + words;
}

bool send_responses(int socket, std::uint32_t words)
{
    // MSG_NOSIGNAL: a client that went away must not end the server with
    // SIGPIPE, and programs the server starts keep the default disposition.
    const std::size_t bytes = 4 * std::size_t{words};
    if (send(socket, tx_buffer, bytes, MSG_NOSIGNAL) == static_cast<ssize_t>(bytes))
        return true;
    std::printf("*** hwc: Error in writing response on stream socket\n");
    return false;
}

} // namespace

pass_result decode_messages(ring_buffer *ring, std::uint32_t *tx, std::uint32_t capacity)
{
    std::uint32_t count = 0;
    while (ring_buffer_words_used(ring) >= header_words) {
        if (count + header_words > capacity)
            return {count, pass_end::no_room};
        const header h = peek_header(ring);
        if (!servable(h, ring)) {
            report_unservable(h);
            return {count, pass_end::rejected};
        }
        if (ring_buffer_words_used(ring) < request_words_of(h))
            return {count, pass_end::drained};
        if (count + response_room_of(h) > capacity) {
            if (h.magic == magic_read)
                std::printf("*** hwc : no room in TX Buffer for READ response\n");
            return {count, pass_end::no_room};
        }
        std::optional<std::uint32_t> words;
        switch (h.magic) {
        case magic_read:
            words = serve_read(ring, h, tx + count);
            break;
        case magic_write:
            words = serve_write(ring, h, tx + count);
            break;
        default:
            words = serve_command(ring, h, tx + count);
            break;
        }
        // An address that cannot be mapped ends this connection only, as
        // an unknown magic does: any client could otherwise stop the
        // server for everyone.
        if (!words)
            return {count, pass_end::rejected};
        count += *words;
    }
    return {count, pass_end::drained};
}

int process_rx_stream(ring_buffer *ring, int socket)
{
    // A pass that stopped for want of response room is followed at once by
    // another: its requests are complete and must not wait for more bytes.
    for (;;) {
        const pass_result pass = decode_messages(ring, tx_buffer, tx_capacity_words);
        if (pass.words > 0 && !send_responses(socket, pass.words))
            return -1;
        if (pass.end == pass_end::rejected)
            return -1;
        if (pass.end == pass_end::drained || pass.words == 0)
            return 0;
    }
}
