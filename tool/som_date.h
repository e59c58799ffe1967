// The SOM's manufacturing date: a 24-bit count of minutes since
// 1996-01-01 00:00, shown the way asctime lays out a date.
#pragma once

#include <cstdint>
#include <string>

// The count stored in the SOM record, least significant byte first.
std::uint32_t som_date_minutes(const std::uint8_t bytes[3]);

// "Www Mmm dd hh:mm:ss yyyy\n" for the moment that many minutes after
// 1996-01-01 00:00, whatever the machine's time zone.
std::string som_date_text(std::uint32_t minutes);
