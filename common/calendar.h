#pragma once
// The proleptic Gregorian calendar, years 1 to 9999: what every date form of the system (the
// launcher's day-count values, UTC instants, HTTP dates, report times) is checked and counted with.
// Portable.
#include <cstdint>

bool IsLeapYear(int year);
int DaysInMonth(int year, int month);  // month 1..12
bool IsValidDate(int year, int month, int day);
bool IsValidTime(int hour, int minute, int second, int millisecond);

struct CivilDate {
    int year = 1970, month = 1, day = 1;
};

// Days from 1970-01-01 to a valid date (negative before it), and back.
int64_t DaysFromCivil(int year, int month, int day);
CivilDate CivilFromDays(int64_t days);
