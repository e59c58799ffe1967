// The SOM manufacturing date as qelt-boardctl shows it.
#include "som_date.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace {

TEST(SomDate, MinutesAreStoredLeastSignificantByteFirst)
{
    const std::uint8_t bytes[3] = {0x10, 0x27, 0x00};
    EXPECT_EQ(som_date_minutes(bytes), 10000u);
    const std::uint8_t top[3] = {0x01, 0x02, 0x83};
    EXPECT_EQ(som_date_minutes(top), 0x830201u);
}

TEST(SomDate, CalendarLandmarks)
{
    EXPECT_EQ(som_date_text(0), "Mon Jan  1 00:00:00 1996\n");
    EXPECT_EQ(som_date_text(10000), "Sun Jan  7 22:40:00 1996\n");
    EXPECT_EQ(som_date_text(59 * 1440 + 12 * 60 + 34), "Thu Feb 29 12:34:00 1996\n"); // leap day
    EXPECT_EQ(som_date_text(366 * 1440 - 1), "Tue Dec 31 23:59:00 1996\n");
    EXPECT_EQ(som_date_text(366 * 1440), "Wed Jan  1 00:00:00 1997\n");
    EXPECT_EQ(som_date_text(2190239), "Tue Feb 29 23:59:00 2000\n");  // century leap year
    EXPECT_EQ(som_date_text(0xFFFFFF), "Wed Nov 24 20:15:00 2027\n"); // largest 24-bit count
}

// Against the C library's own UTC calendar over the whole 24-bit range,
// with a local time zone set that must make no difference.
TEST(SomDate, AgreesWithUtcAsctimeWhateverTheTimeZone)
{
    setenv("TZ", "America/St_Johns", 1);
    tzset();
    constexpr std::time_t epoch_1996 = 820454400; // 1996-01-01 00:00 UTC
    for (std::uint32_t minutes = 0; minutes <= 0xFFFFFF; minutes += 997) {
        const std::time_t t = epoch_1996 + static_cast<std::time_t>(minutes) * 60;
        std::tm utc{};
        gmtime_r(&t, &utc);
        char expected[32];
        asctime_r(&utc, expected);
        ASSERT_EQ(som_date_text(minutes), expected) << minutes << " minutes";
    }
    unsetenv("TZ");
    tzset();
}

} // namespace
