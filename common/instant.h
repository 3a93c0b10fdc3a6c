#pragma once
// A moment in UTC to the second, and the text forms the system writes and reads it in:
//   UTC text      2026-12-10T20:30:00Z             signed documents, the publisher's messages
//   offset text   2026-12-10T17:30:00-03:00        the fleet report (the workstation's local time),
//                 2026-12-10T17:30:00.123-03:00    and to the millisecond, the launcher's log
//   HTTP date     Thu, 10 Dec 2026 20:30:00 GMT    Last-Modified, Retry-After, If-Modified-Since
// Readers answer nullopt for anything that is not exactly their form and an existing date and time.
// Portable.
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct Instant {
    int64_t unixSeconds = 0;  // since 1970-01-01T00:00:00Z
    auto operator<=>(const Instant&) const = default;
};

// The years 1 to 9999: what the text forms can write and a Windows file time can hold.
inline constexpr Instant kFirstInstant{-62'135'596'800};  // 0001-01-01T00:00:00Z
inline constexpr Instant kLastInstant{253'402'300'799};   // 9999-12-31T23:59:59Z
constexpr bool IsWritable(Instant instant) { return instant >= kFirstInstant && instant <= kLastInstant; }

struct CivilTime {
    int year = 1970, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};

CivilTime CivilTimeOf(Instant instant);  // in UTC; a writable instant
std::optional<Instant> InstantOf(const CivilTime& utc);

// "YYYY-MM-DDTHH:MM:SSZ"; empty for an instant that is not writable.
std::string UtcText(Instant instant);
std::optional<Instant> ParseUtcText(std::string_view text);

// "YYYY-MM-DDTHH:MM:SS+HH:MM" from a local time and its offset from UTC in minutes (local minus UTC);
// with a millisecond of 0-999, "YYYY-MM-DDTHH:MM:SS.zzz+HH:MM".
std::string OffsetTimeText(const CivilTime& local, int offsetMinutes, int millisecond = -1);
// "YYYY-MM-DDTHH:MM:SS" followed by "Z" or an offset "+HH:MM"/"-HH:MM" of at most 14 hours, naming
// a writable instant.
std::optional<Instant> ParseOffsetTime(std::string_view text);

// IMF-fixdate, the form every answer is written in; empty for an instant that is not writable.
std::string HttpDateText(Instant instant);
// The preferred form and the two obsolete ones that a recipient must still read (RFC 9110, 5.6.7):
// "Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT", "Sun Nov  6 08:49:37 1994",
// with blanks around it ignored. The day's name is not checked against the date; a two-digit year is
// read as 1970 to 2069. Years outside 1970 to 2200 are refused: no server means them, and the clock's
// time points (nanoseconds) cannot hold all of them.
std::optional<Instant> ParseHttpDate(std::string_view text);
