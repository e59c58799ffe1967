// The word protocol: READ and WRITE of physical memory and COMMAND text,
// decoded from the ring buffer and answered with all responses of a
// decoding pass in one send.
#pragma once

#include "ring_buffer.h"

#include <cstddef>
#include <cstdint>

inline constexpr std::uint32_t magic_read = 0xda010001;
inline constexpr std::uint32_t magic_write = 0xda010002;
inline constexpr std::uint32_t magic_command = 0xda010003;
// A response's magic is the request's XORed with this: 0xda01.... -> 0xad01....
inline constexpr std::uint32_t response_magic_xor = 0x77000000;

inline constexpr std::uint32_t header_words = 5;
inline constexpr std::uint32_t tx_capacity_words = 0x4000;
// Text of one COMMAND request or reply, terminator included.
inline constexpr std::uint32_t text_capacity = 32768;
inline constexpr std::uint32_t max_read_words = tx_capacity_words - header_words;
inline constexpr std::uint32_t max_command_words = text_capacity / 4;

enum class pass_end {
    drained,  // every complete request answered; the rest waits for bytes
    no_room,  // complete requests wait for room in the response area
    rejected, // a request that can never be served (an unknown magic, a length
              // beyond the buffers, memory that cannot be mapped): the
              // connection ends
};

struct pass_result {
    std::uint32_t words; // response words placed from tx[0]
    pass_end end;
};

// One decoding pass over the complete requests held in the ring.
pass_result decode_messages(ring_buffer *ring, std::uint32_t *tx, std::uint32_t capacity);

// Decodes and answers everything the ring holds, one send per pass.
// Returns 0, or -1 when the connection must end: a request that can never
// be served, or responses that could not be sent.
int process_rx_stream(ring_buffer *ring, int socket);
