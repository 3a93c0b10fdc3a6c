#include <gtest/gtest.h>

#include <functional>

#include "base/string_convert.h"
#include "cases/record_cases.h"
#include "launcher_date_format.h"
#include "update/records/iso8601.h"

namespace {

using ISO8601ToDateTest = LauncherDateFormatTest;

TEST_F(ISO8601ToDateTest, ReadsEveryCaseOfTheTable) {
    // Wide text and UTF-8 text (what record decoding hands over) must read alike.
    const auto readWide = [](std::wstring_view AText) { return ISO8601ToDate(AText); };
    const auto readUtf8 = [](std::wstring_view AText) { return ISO8601ToDateUtf8(WideToUtf8(AText)); };
    for (const auto& read : {std::function<TDateTime(std::wstring_view)>(readWide),
                             std::function<TDateTime(std::wstring_view)>(readUtf8)}) {
        for (const auto& c : kIsoCases) {
            SCOPED_TRACE(WideToUtf8(c.text));
            if (c.error.empty()) {
                // Exact equality: ages are compared with == against ages of local files.
                EXPECT_EQ(read(c.text), EncodeDateTime(c.expected));
            } else {
                try {
                    read(c.text);
                    ADD_FAILURE() << "no error";
                } catch (const Error& e) {
                    EXPECT_EQ(e.what(), c.error);
                }
            }
        }
    }
}

TEST_F(ISO8601ToDateTest, UnreadableTextsAndImpossibleValuesRaiseDifferentKinds) {
    EXPECT_THROW(ISO8601ToDate(L"202"), EDateTimeException);
    EXPECT_THROW(ISO8601ToDate(L"2022-01-10Tx"), EDateTimeException);
    EXPECT_THROW(ISO8601ToDate(L"2022-01-10T14:32:05+0300"), EDateTimeException);
    EXPECT_THROW(ISO8601ToDate(L"2022-13-01"), EConvertError);
}

TEST_F(ISO8601ToDateTest, InvalidValueMessageUsesTheGivenFormat) {
    const TDateTimeFormat us{L"M/d/yyyy", L"h:mm:ss tt", L"AM", L"PM"};
    try {
        ISO8601ToDate(L"2022-02-30T15:04:05", us);
        ADD_FAILURE() << "no error";
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "'2/30/2022 3:04:05 PM' is not a valid date and time");
    }
    // The process-wide format is what the parameterless reader (and record decoding) uses.
    SetDefaultDateTimeFormat(us);
    EXPECT_THROW(
        {
            try {
                ISO8601ToDate(L"2022-02-30");
            } catch (const EConvertError& e) {
                EXPECT_STREQ(e.what(), "'2/30/2022 12:00:00 AM' is not a valid date and time");
                throw;
            }
        },
        EConvertError);
}

TEST(FormatDateTimeParts, WritesLocalePictures) {
    struct Case {
        TDateTimeFormat format;
        DateTimeParts parts;
        std::wstring_view expected;
    };
    const Case cases[] = {
        {{}, {2022, 1, 9, 7, 5, 3, 0}, L"09/01/2022 07:05:03"},
        {{}, {2022, 1, 9, 7, 5, 3, 40}, L"09/01/2022 07:05:03.040"},
        {{L"yyyy-MM-dd", L"HH'h'mm 'Uhr'"}, {2022, 1, 9, 7, 5, 3, 0}, L"2022-01-09 07h05 Uhr"},
        {{L"d.M.yy", L"H:m:s"}, {2005, 3, 4, 0, 5, 6, 0}, L"4.3.05 0:5:6"},
        {{L"dd/MM/yyyy", L"hh:mm t"}, {2022, 12, 31, 0, 30, 0, 0}, L"31/12/2022 12:30 A"},
        {{L"yyyy'''x'", L"HH"}, {999, 1, 1, 13, 0, 0, 0}, L"0999'x 13"},
        {{}, {0, 0, 0, 99, 99, 99, 1000}, L"00/00/0000 99:99:99.1000"},
    };
    for (const auto& c : cases) EXPECT_EQ(FormatDateTimeParts(c.parts, c.format), c.expected);
}

}  // namespace
