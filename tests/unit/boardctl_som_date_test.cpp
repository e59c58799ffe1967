// The SOM manufacturing date as qelt-boardctl shows it.
#include "som_date.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <ctime>

namespace {

// The three stored bytes, least significant first, from the first to the
// last minute they can count; a local time zone must make no difference.
TEST(SomDate, StoredMinutesAsUtcText)
{
    setenv("TZ", "America/St_Johns", 1);
    tzset();
    const std::pair<std::array<std::uint8_t, 3>, const char *> cases[] = {
        {{0x00, 0x00, 0x00}, "Mon Jan  1 00:00:00 1996\n"},
        {{0x01, 0x02, 0x83}, "Sat Apr 28 07:29:00 2012\n"},
        {{0xFF, 0xFF, 0xFF}, "Wed Nov 24 20:15:00 2027\n"},
    };
    for (const auto &[bytes, text] : cases)
        EXPECT_EQ(som_date_text(som_date_minutes(bytes.data())), text);
    unsetenv("TZ");
    tzset();
}

} // namespace
