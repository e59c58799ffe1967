// The stream ring buffer on its own: it takes exactly its capacity and ends
// the process rather than overwrite what it holds. Wrap-around is served
// end to end by the protocol tests.
#include "ring_buffer.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(ring_buffer, FillsExactlyAndRefusesOneByteMore)
{
    ring_buffer *ring = ring_buffer_create(0x10000);
    const std::vector<std::uint8_t> full(0x10000);
    ring_buffer_write(ring, full.data(), 0x10000);
    EXPECT_EXIT(ring_buffer_write(ring, "x", 1), testing::ExitedWithCode(255), "");
    ring_buffer_destroy(ring);
}

} // namespace
