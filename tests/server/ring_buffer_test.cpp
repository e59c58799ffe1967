// The stream ring buffer on its own: wrap-around and a full ring.
#include "ring_buffer.h"

#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <vector>

namespace {

struct ring_deleter {
    void operator()(ring_buffer *r) const { ring_buffer_destroy(r); }
};
using ring_ptr = std::unique_ptr<ring_buffer, ring_deleter>;

ring_ptr make_ring() { return ring_ptr(ring_buffer_create(0x10000)); }

std::vector<std::uint8_t> counting_bytes(std::size_t n, std::uint8_t first = 0)
{
    std::vector<std::uint8_t> b(n);
    std::iota(b.begin(), b.end(), first);
    return b;
}

TEST(ring_buffer, WrapsAroundTheEnd)
{
    const ring_ptr ring = make_ring();
    ring_buffer_write(ring.get(), counting_bytes(65528).data(), 65528);
    std::vector<std::uint32_t> sink(16380);
    ring_buffer_read_words(ring.get(), sink.data(), 16380);
    EXPECT_EQ(sink[1], 0x04050607u);
    // 8 bytes land at the end of the storage, 12 at its start.
    ring_buffer_write(ring.get(), counting_bytes(20, 0x80).data(), 20);
    EXPECT_EQ(ring_buffer_words_used(ring.get()), 7u);
    EXPECT_EQ(ring_buffer_peek_word(ring.get(), 2), 0x80818283u);
    EXPECT_EQ(ring_buffer_peek_word(ring.get(), 4), 0x88898a8bu);
    std::vector<std::uint32_t> words(7);
    ring_buffer_read_words(ring.get(), words.data(), 7);
    const std::vector<std::uint32_t> expected{0xf0f1f2f3, 0xf4f5f6f7, 0x80818283, 0x84858687,
                                              0x88898a8b, 0x8c8d8e8f, 0x90919293};
    EXPECT_EQ(words, expected);
    EXPECT_EQ(ring_buffer_words_used(ring.get()), 0u);
}

TEST(ring_buffer, FillsExactlyAndRefusesOneByteMore)
{
    const ring_ptr ring = make_ring();
    ring_buffer_write(ring.get(), counting_bytes(65536).data(), 65536);
    EXPECT_EQ(ring_buffer_bytes_free(ring.get()), 0u);
    EXPECT_EXIT(ring_buffer_write(ring.get(), "x", 1), testing::ExitedWithCode(255), "");
}

} // namespace
