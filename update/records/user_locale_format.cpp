#include "update/records/user_locale_format.h"

#include <windows.h>

namespace {

// Leaves AValue alone when the locale has no such entry.
void ReadLocaleText(LCTYPE AType, std::wstring& AValue) {
    wchar_t buffer[LOCALE_NAME_MAX_LENGTH * 2] = {};
    const int length =
        GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, AType, buffer, static_cast<int>(std::size(buffer)));
    if (length > 1) AValue.assign(buffer, static_cast<size_t>(length - 1));
}

}  // namespace

TDateTimeFormat UserLocaleDateTimeFormat() {
    TDateTimeFormat format;
    ReadLocaleText(LOCALE_SSHORTDATE, format.ShortDate);
    ReadLocaleText(LOCALE_STIMEFORMAT, format.Time);
    ReadLocaleText(LOCALE_S1159, format.AM);
    ReadLocaleText(LOCALE_S2359, format.PM);
    return format;
}

void UseUserLocaleDateTimeFormat() { SetDefaultDateTimeFormat(UserLocaleDateTimeFormat()); }
