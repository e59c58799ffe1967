#include "som_date.h"

#include <ctime>

std::uint32_t som_date_minutes(const std::uint8_t bytes[3])
{
    return bytes[0] | (std::uint32_t{bytes[1]} << 8) | (std::uint32_t{bytes[2]} << 16);
}

std::string som_date_text(std::uint32_t minutes)
{
    constexpr std::time_t epoch_1996 = 820454400; // 1996-01-01 00:00 UTC
    const std::time_t moment = epoch_1996 + static_cast<std::time_t>(minutes) * 60;
    // UTC, not local time: the stored count names no time zone, so the text
    // must not depend on the machine's.
    std::tm calendar{};
    gmtime_r(&moment, &calendar);
    char text[26]; // the size asctime_r requires
    asctime_r(&calendar, text);
    return text;
}
