#include "base/date_time.h"

#include <cmath>

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

bool IsValidDate(int year, int month, int day) {
    return year >= 1 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 &&
           day <= DaysInMonth(year, month);
}

bool IsValidTime(int hour, int minute, int second, int millisecond) {
    return hour >= 0 && hour < 24 && minute >= 0 && minute < 60 && second >= 0 && second < 60 &&
           millisecond >= 0 && millisecond < 1000;
}

int64_t DaysSinceEpoch(int year, int month, int day) {
    // Days from 0001-01-01 (proleptic Gregorian), then shifted to 1899-12-30.
    const int64_t y = year - 1;
    int64_t days = y * 365 + y / 4 - y / 100 + y / 400;
    for (int m = 1; m < month; ++m) days += DaysInMonth(year, m);
    days += day - 1;
    return days - 693593;  // 693593 = days from 0001-01-01 to 1899-12-30
}

int64_t ToMilliseconds(TDateTime value) {
    return static_cast<int64_t>(std::llround(value * kMillisecondsPerDay));
}

TDateTime FromMilliseconds(int64_t milliseconds) {
    return static_cast<double>(milliseconds) / kMillisecondsPerDay;
}

TDateTime EncodeDateTime(const DateTimeParts& p) {
    const int64_t ms_of_day = ((p.hour * 60LL + p.minute) * 60 + p.second) * 1000 + p.millisecond;
    const double days = static_cast<double>(DaysSinceEpoch(p.year, p.month, p.day));
    // Before the epoch the fraction counts forwards from the (negative) day, as the classic format does.
    const double fraction = static_cast<double>(ms_of_day) / kMillisecondsPerDay;
    return days >= 0 ? days + fraction : days - fraction;
}

DateTimeParts DecodeDateTime(TDateTime value) {
    const double days_part = std::trunc(value);
    const double fraction = std::fabs(value - days_part);
    int64_t ms_of_day = std::llround(fraction * kMillisecondsPerDay);
    int64_t day_number = static_cast<int64_t>(days_part);
    if (ms_of_day >= 86'400'000) {
        ms_of_day -= 86'400'000;
        day_number += value >= 0 ? 1 : -1;
    }
    DateTimeParts p;
    // Civil date from a day count (days since 0001-01-01).
    int64_t n = day_number + 693593;
    int64_t y400 = n / 146097;
    n %= 146097;
    int64_t y100 = n / 36524;
    if (y100 == 4) y100 = 3;
    n -= y100 * 36524;
    int64_t y4 = n / 1461;
    n %= 1461;
    int64_t y1 = n / 365;
    if (y1 == 4) y1 = 3;
    n -= y1 * 365;
    p.year = static_cast<int>(y400 * 400 + y100 * 100 + y4 * 4 + y1 + 1);
    p.month = 1;
    while (n >= DaysInMonth(p.year, p.month)) {
        n -= DaysInMonth(p.year, p.month);
        ++p.month;
    }
    p.day = static_cast<int>(n + 1);
    p.millisecond = static_cast<int>(ms_of_day % 1000);
    p.second = static_cast<int>(ms_of_day / 1000 % 60);
    p.minute = static_cast<int>(ms_of_day / 60000 % 60);
    p.hour = static_cast<int>(ms_of_day / 3600000);
    return p;
}
