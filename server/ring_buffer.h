// Byte ring between the socket reads and the word protocol decoder. Reads
// append arbitrary byte counts; the decoder looks at whole big-endian words,
// peeks at a header without consuming it and consumes a message only once
// all of it is held. Used by the main thread only.
#pragma once

#include <cstdint>

struct ring_buffer {
    std::uint8_t *data;
    std::uint8_t *end; // data + capacity
    std::uint8_t *write_pos;
    std::uint8_t *read_pos; // always a whole number of words past data
    std::uint32_t used;     // bytes held
    std::uint32_t capacity; // bytes, a multiple of 256
};

// Rounds size up to a multiple of 256. Ends the process when memory is short.
ring_buffer *ring_buffer_create(int size);
void ring_buffer_destroy(ring_buffer *ring);

// Appends count bytes; ends the process rather than overwrite held bytes.
void ring_buffer_write(ring_buffer *ring, const void *src, std::uint32_t count);
// Drops everything held (the rest of a stream that will never complete).
void ring_buffer_reset(ring_buffer *ring);

std::uint32_t ring_buffer_words_used(const ring_buffer *ring);
std::uint32_t ring_buffer_bytes_free(const ring_buffer *ring);

// The caller makes sure the words asked for are held.
std::uint32_t ring_buffer_peek_word(const ring_buffer *ring, std::uint32_t index);
void ring_buffer_skip_words(ring_buffer *ring, std::uint32_t count);
void ring_buffer_read_words(ring_buffer *ring, std::uint32_t *dest, std::uint32_t count);
