#include "launcher/window/elapsed_time.h"

#include <cstdio>

std::wstring FormatElapsed(int64_t AMilliseconds, std::wstring_view ATimeSeparator) {
    // A clock set back during an update gives a negative span; show its size.
    const uint64_t ms = AMilliseconds < 0 ? static_cast<uint64_t>(-(AMilliseconds + 1)) + 1
                                          : static_cast<uint64_t>(AMilliseconds);
    wchar_t minutes[4], rest[16];
    std::swprintf(minutes, std::size(minutes), L"%02u", static_cast<unsigned>(ms / 60000 % 60));
    std::swprintf(rest, std::size(rest), L"%02u.%03u", static_cast<unsigned>(ms / 1000 % 60),
                  static_cast<unsigned>(ms % 1000));
    return std::wstring(minutes) + std::wstring(ATimeSeparator) + rest;
}
