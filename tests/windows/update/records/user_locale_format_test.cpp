#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "base/string_convert.h"
#include "update/records/file_info.h"
#include "update/records/user_locale_format.h"

namespace {

std::wstring MessageOf(std::wstring_view AJSON) {
    try {
        RecordFromJSON<TFileInfoDTO>(AJSON);
    } catch (const Error& e) {
        return Utf8ToWide(e.what());
    }
    return L"(no error)";
}

// The invalid date and time message must read like the user's own dates and times: Windows'
// formatting of the valid half of an impossible value is the reference.
TEST(UserLocaleDateTimeFormat, DecodingMessagesWriteDatesAndTimesAsTheUserLocaleDoes) {
    const TDateTimeFormat saved = DefaultDateTimeFormat();
    UseUserLocaleDateTimeFormat();

    SYSTEMTIME st{};
    st.wYear = 2022;
    st.wMonth = 1;
    st.wDay = 10;
    st.wHour = 15;
    st.wMinute = 4;
    st.wSecond = 5;
    wchar_t date[128] = {}, time[128] = {};
    ASSERT_GT(GetDateFormatEx(LOCALE_NAME_USER_DEFAULT, DATE_SHORTDATE, &st, nullptr, date, 128, nullptr), 0);
    ASSERT_GT(GetTimeFormatEx(LOCALE_NAME_USER_DEFAULT, 0, &st, nullptr, time, 128), 0);

    const std::wstring badTime = MessageOf(LR"({"Age":"2022-01-10T25:04:05"})");
    EXPECT_EQ(badTime.rfind(L"'" + std::wstring(date) + L" ", 0), 0u) << WideToUtf8(badTime);
    const std::wstring badDate = MessageOf(LR"({"Age":"2022-02-30T15:04:05"})");
    EXPECT_TRUE(badDate.ends_with(L" " + std::wstring(time) + L"' is not a valid date and time"))
        << WideToUtf8(badDate);

    SetDefaultDateTimeFormat(saved);
}

}  // namespace
