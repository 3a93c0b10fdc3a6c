#pragma once
// The ISO 8601 reader of the file service's ages: extended (2022-01-10T14:32:05.000Z) and basic
// (20220110T143205) forms, an optional +hh[:mm] / -hh[:mm] offset that is applied to give UTC, Z
// and other zone letters ignored. The value is never converted to the local time zone.
// Portable: no windows.h.
#include <string>
#include <string_view>

#include "base/date_time.h"
#include "update/records/decode_errors.h"

// How the "is not a valid date and time" message writes the date and time it could not encode.
// Pictures use the Windows locale notation (d dd M MM y yy yyyy, h hh H HH m mm s ss t tt,
// 'quoted' literals), so the Windows side can hand over the user's LOCALE_SSHORTDATE and
// LOCALE_STIMEFORMAT as they are. The default is the launcher's own locale, Brazilian Portuguese.
struct TDateTimeFormat {
    std::wstring ShortDate = L"dd/MM/yyyy";
    std::wstring Time = L"HH:mm:ss";
    std::wstring AM = L"AM";
    std::wstring PM = L"PM";
};

// The format the decoding of records uses. Process-wide; set once at start-up (the Windows side
// installs the user's locale format with UseUserLocaleDateTimeFormat, update/user_locale_format.h).
TDateTimeFormat DefaultDateTimeFormat();
void SetDefaultDateTimeFormat(TDateTimeFormat AFormat);

// Writes date and time components, valid or not, with the format; milliseconds follow the seconds
// as ".zzz" when they are not 0.
std::wstring FormatDateTimeParts(const DateTimeParts& AParts, const TDateTimeFormat& AFormat);

// Reads an ISO 8601 date-time text into a value in UTC. Raises EDateTimeException ("Invalid date
// string: %s", "Invalid time string: %s", "Invalid time Offset string: %s") for unreadable text
// and EConvertError ("'%s' is not a valid date and time") for an impossible date or time.
TDateTime ISO8601ToDate(std::wstring_view AISODate, const TDateTimeFormat& AFormat);
TDateTime ISO8601ToDate(std::wstring_view AISODate);  // with DefaultDateTimeFormat()
// The same for UTF-8 text (as JSON decoding has it), without a conversion for ASCII text.
TDateTime ISO8601ToDateUtf8(std::string_view AISODate);
