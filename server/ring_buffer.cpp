#include "ring_buffer.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

[[noreturn]] void fail(const char *message)
{
    std::printf("%s", message);
    std::exit(-1);
}

// A position count bytes further on, wrapped once: a word never straddles
// the end because the capacity and every read step are whole words.
std::uint8_t *advanced(const ring_buffer *ring, std::uint8_t *pos, std::uint32_t count)
{
    pos += count;
    return pos >= ring->end ? pos - ring->capacity : pos;
}

std::uint32_t word_at(const std::uint8_t *pos)
{
    std::uint32_t w;
    std::memcpy(&w, pos, sizeof w);
    return ntohl(w);
}

} // namespace

ring_buffer *ring_buffer_create(int size)
{
    auto *ring = static_cast<ring_buffer *>(std::calloc(1, sizeof(ring_buffer)));
    if (ring == nullptr)
        fail("Could not allocate ring_buffer");
    const std::uint32_t capacity = (static_cast<std::uint32_t>(size) + 255u) & ~255u;
    ring->data = static_cast<std::uint8_t *>(std::calloc(capacity, 1));
    if (ring->data == nullptr)
        fail("Could not allocate ring_buffer data");
    ring->end = ring->data + capacity;
    ring->capacity = capacity;
    ring_buffer_reset(ring);
    return ring;
}

void ring_buffer_destroy(ring_buffer *ring)
{
    if (ring == nullptr)
        return;
    std::free(ring->data);
    std::free(ring);
}

void ring_buffer_reset(ring_buffer *ring)
{
    ring->read_pos = ring->data;
    ring->write_pos = ring->data;
    ring->used = 0;
}

void ring_buffer_write(ring_buffer *ring, const void *src, std::uint32_t count)
{
    if (ring == nullptr)
        fail("Illegal ring_buffer");
    if (count > ring->capacity - ring->used)
        fail("Overflow in ring_buffer");
    const auto *from = static_cast<const std::uint8_t *>(src);
    while (count > 0) {
        const auto contiguous = static_cast<std::uint32_t>(ring->end - ring->write_pos);
        const std::uint32_t piece = std::min({contiguous, ring->capacity - ring->used, count});
        std::memcpy(ring->write_pos, from, piece);
        ring->write_pos = advanced(ring, ring->write_pos, piece);
        ring->used += piece;
        from += piece;
        count -= piece;
    }
}

std::uint32_t ring_buffer_words_used(const ring_buffer *ring) { return ring->used / 4; }

std::uint32_t ring_buffer_bytes_free(const ring_buffer *ring) { return ring->capacity - ring->used; }

std::uint32_t ring_buffer_peek_word(const ring_buffer *ring, std::uint32_t index)
{
    return word_at(advanced(ring, ring->read_pos, 4 * index));
}

void ring_buffer_skip_words(ring_buffer *ring, std::uint32_t count)
{
    ring->read_pos = advanced(ring, ring->read_pos, 4 * count);
    ring->used -= 4 * count;
}

void ring_buffer_read_words(ring_buffer *ring, std::uint32_t *dest, std::uint32_t count)
{
    while (count > 0) {
        const auto to_end = static_cast<std::uint32_t>(ring->end - ring->read_pos) / 4;
        const std::uint32_t piece = std::min({to_end, ring->used / 4, count});
        for (std::uint32_t i = 0; i < piece; ++i)
            *dest++ = word_at(ring->read_pos + 4 * i);
        ring->read_pos = advanced(ring, ring->read_pos, 4 * piece);
        ring->used -= 4 * piece;
        count -= piece;
    }
}
