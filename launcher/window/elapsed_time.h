#pragma once
// The elapsed time of an update as the caption shows it: "nn:ss.zzz" - minutes and seconds on two
// digits, milliseconds on three, hours (and days) left out, ":" written as the given separator.
#include <cstdint>
#include <string>
#include <string_view>

std::wstring FormatElapsed(int64_t AMilliseconds, std::wstring_view ATimeSeparator);
