#include "som_date.h"

#include <cstdio>

namespace {

constexpr int epoch_year = 1996;
constexpr int epoch_weekday = 1; // 1996-01-01 was a Monday (0 = Sunday)

constexpr const char *weekday_names[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char *month_names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool is_leap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int days_in_year(int year) { return is_leap(year) ? 366 : 365; }

int days_in_month(int year, int month)
{
    constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 1 && is_leap(year) ? 29 : days[month];
}

} // namespace

std::uint32_t som_date_minutes(const std::uint8_t bytes[3])
{
    return bytes[0] | (std::uint32_t{bytes[1]} << 8) | (std::uint32_t{bytes[2]} << 16);
}

std::string som_date_text(std::uint32_t minutes)
{
    constexpr std::uint32_t minutes_per_day = 24 * 60;
    std::uint32_t days = minutes / minutes_per_day;
    const std::uint32_t minute_of_day = minutes % minutes_per_day;
    const int weekday = static_cast<int>((epoch_weekday + days) % 7);

    int year = epoch_year;
    while (days >= static_cast<std::uint32_t>(days_in_year(year))) {
        days -= days_in_year(year);
        ++year;
    }
    int month = 0;
    while (days >= static_cast<std::uint32_t>(days_in_month(year, month))) {
        days -= days_in_month(year, month);
        ++month;
    }

    // The layout of asctime; the seconds are 0 since the count is in minutes.
    char text[48];
    std::snprintf(text, sizeof text, "%.3s %.3s%3u %.2u:%.2u:00 %d\n", weekday_names[weekday],
                  month_names[month], days + 1, minute_of_day / 60, minute_of_day % 60, year);
    return text;
}
