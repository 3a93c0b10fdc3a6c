#include "update/files/file_ages.h"

#include "base/error.h"
#include "base/win32_error.h"

TDateTime FileTimeToAge(const FILETIME& utc) {
    FILETIME local{};
    SYSTEMTIME st{};
    if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &st)) ThrowLastError();
    // SYSTEMTIME carries whole milliseconds, dropping the 100 ns ticks below them.
    return EncodeDateTime(
        DateTimeParts{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds});
}

FILETIME AgeToFileTime(TDateTime age) {
    const DateTimeParts p = DecodeDateTime(age);
    if (p.year < 1601 || p.year > 30827) throw Error("Invalid date-time value for a file time");
    const SYSTEMTIME st{
        static_cast<WORD>(p.year),   static_cast<WORD>(p.month),      0,
        static_cast<WORD>(p.day),    static_cast<WORD>(p.hour),       static_cast<WORD>(p.minute),
        static_cast<WORD>(p.second), static_cast<WORD>(p.millisecond)};
    FILETIME local{};
    FILETIME utc{};
    if (!SystemTimeToFileTime(&st, &local) || !LocalFileTimeToFileTime(&local, &utc)) ThrowLastError();
    return utc;
}

bool SameAge(TDateTime a, TDateTime b) { return a == b || ToMilliseconds(a) == ToMilliseconds(b); }
