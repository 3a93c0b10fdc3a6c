#include "update/disk/file_ages.h"

#include "base/error.h"
#include "base/win32_error.h"

TDateTime FileTimeToAge(const FILETIME& utc) {
    FILETIME local{};
    SYSTEMTIME st{};
    if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &st))
        ThrowLastError(TErrorCategory::Other);
    // SYSTEMTIME carries whole milliseconds, dropping the 100 ns ticks below them.
    return EncodeDateTime(
        DateTimeParts{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds});
}

FILETIME AgeToFileTime(TDateTime age) {
    const DateTimeParts p = DecodeDateTime(age);
    if (p.year < 1601 || p.year > 30827)
        throw Error("Invalid date-time value for a file time", TErrorCategory::Other);
    const SYSTEMTIME st{
        static_cast<WORD>(p.year),   static_cast<WORD>(p.month),      0,
        static_cast<WORD>(p.day),    static_cast<WORD>(p.hour),       static_cast<WORD>(p.minute),
        static_cast<WORD>(p.second), static_cast<WORD>(p.millisecond)};
    FILETIME local{};
    FILETIME utc{};
    if (!SystemTimeToFileTime(&st, &local) || !LocalFileTimeToFileTime(&local, &utc))
        ThrowLastError(TErrorCategory::Other);
    return utc;
}

bool SameAge(TDateTime a, TDateTime b) { return a == b || ToMilliseconds(a) == ToMilliseconds(b); }

TDateTime UnixToAge(int64_t unixSeconds) {
    const uint64_t ticks = static_cast<uint64_t>(unixSeconds + 11644473600) * 10000000u;
    const FILETIME utc{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    return FileTimeToAge(utc);
}

bool SameWholeSecond(TDateTime a, TDateTime b) {
    // Floor division: ages before 1899-12-30 are negative.
    const auto second = [](TDateTime age) {
        const int64_t ms = ToMilliseconds(age);
        return ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
    };
    return second(a) == second(b);
}
