#pragma once
// File ages: a file's last-write time as a local date-time value. The conversion always uses the
// time-zone offset in effect now, not the one at the file's date, so that an age read and an age
// written on the same day round-trip exactly.
#include <windows.h>

#include <cstdint>

#include "base/date_time.h"

// UTC file time -> local date-time value, truncated to whole milliseconds.
TDateTime FileTimeToAge(const FILETIME& utc);

// Local date-time value (rounded to the nearest millisecond) -> UTC file time. Raises Error for a
// value outside the range a file time can hold.
FILETIME AgeToFileTime(TDateTime age);

// Ages are whole milliseconds; two ages are the same when they name the same millisecond, however the
// double was computed (decoded from the service's text or read from a file).
bool SameAge(TDateTime a, TDateTime b);

// A release's age (seconds since 1970 in UTC) as a local date-time value, exactly.
TDateTime UnixToAge(int64_t unixSeconds);

// Whether two ages fall in the same whole second: what a release's ages are compared at.
bool SameWholeSecond(TDateTime a, TDateTime b);
