#pragma once
// HTTP dates, as servers write them in Retry-After and Last-Modified: the preferred form
// (Sun, 06 Nov 1994 08:49:37 GMT) and the two obsolete ones that recipients must still read
// (Sunday, 06-Nov-94 08:49:37 GMT and Sun Nov  6 08:49:37 1994). Portable: no windows.h.
#include <chrono>
#include <optional>
#include <string_view>

// The instant a date names, or nothing when the text is not an HTTP date or names a year outside
// 1970 to 2200. The day name is not checked against the date; a two-digit year is read as 1970 to
// 2069.
std::optional<std::chrono::system_clock::time_point> ParseHttpDate(std::string_view AText);
