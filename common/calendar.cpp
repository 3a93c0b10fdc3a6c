#include "common/calendar.h"

namespace {

// Days from 0001-01-01 to 1970-01-01.
constexpr int64_t kUnixEpochFromYearOne = 719'162;

}  // namespace

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

int64_t DaysFromCivil(int year, int month, int day) {
    const int64_t y = year - 1;
    int64_t days = y * 365 + y / 4 - y / 100 + y / 400;
    for (int m = 1; m < month; ++m) days += DaysInMonth(year, m);
    return days + day - 1 - kUnixEpochFromYearOne;
}

CivilDate CivilFromDays(int64_t days) {
    // Whole 400-, 100-, 4- and 1-year cycles from 0001-01-01; the last year of a 100- or 4-cycle
    // group is the one with the extra day.
    int64_t n = days + kUnixEpochFromYearOne;
    const int64_t y400 = n / 146'097;
    n %= 146'097;
    int64_t y100 = n / 36'524;
    if (y100 == 4) y100 = 3;
    n -= y100 * 36'524;
    const int64_t y4 = n / 1461;
    n %= 1461;
    int64_t y1 = n / 365;
    if (y1 == 4) y1 = 3;
    n -= y1 * 365;
    CivilDate date;
    date.year = static_cast<int>(y400 * 400 + y100 * 100 + y4 * 4 + y1 + 1);
    date.month = 1;
    while (n >= DaysInMonth(date.year, date.month)) {
        n -= DaysInMonth(date.year, date.month);
        ++date.month;
    }
    date.day = static_cast<int>(n + 1);
    return date;
}
