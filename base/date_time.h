#pragma once
// Date-time values: a double counting days since 30 December 1899, the time of day as the fraction.
// Portable arithmetic only; reading the clock and file times lives in base/win_time.h.
#include <cstdint>

#include "common/calendar.h"

using TDateTime = double;

constexpr double kMillisecondsPerDay = 86'400'000.0;

struct DateTimeParts {
    int year = 1899, month = 12, day = 30;
    int hour = 0, minute = 0, second = 0, millisecond = 0;
};

// Days from 30 December 1899 to the given date (negative before it). Year 1..9999.
int64_t DaysSinceEpoch(int year, int month, int day);

// Encodes valid parts; the result for invalid parts is unspecified (check first).
TDateTime EncodeDateTime(const DateTimeParts& parts);

// Splits a value back into parts, rounding to the nearest millisecond.
DateTimeParts DecodeDateTime(TDateTime value);

// Whole milliseconds of a value, rounded (the exact form used to compare and format).
int64_t ToMilliseconds(TDateTime value);
TDateTime FromMilliseconds(int64_t milliseconds);
