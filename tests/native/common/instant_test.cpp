// The calendar, the instant and its text forms.
#include <gtest/gtest.h>

#include "common/calendar.h"
#include "common/instant.h"

namespace {

// 784111777 is Sun, 06 Nov 1994 08:49:37 GMT.
constexpr Instant kExample{784111777};

TEST(Calendar, CountsDaysBothWaysAcrossTheWholeRange) {
    EXPECT_EQ(DaysFromCivil(1970, 1, 1), 0);
    EXPECT_EQ(DaysFromCivil(1899, 12, 30), -25569);
    EXPECT_EQ(DaysFromCivil(2000, 3, 1), 11017);
    // Every first and last day of a month from year 1 to 9999 lands back on itself.
    for (int year = 1; year <= 9999; year += year < 2100 ? 1 : 97) {
        for (int month = 1; month <= 12; ++month) {
            for (const int day : {1, DaysInMonth(year, month)}) {
                const CivilDate back = CivilFromDays(DaysFromCivil(year, month, day));
                ASSERT_EQ(back.year, year);
                ASSERT_EQ(back.month, month);
                ASSERT_EQ(back.day, day);
            }
        }
    }
}

TEST(Instant, UtcTextIsOneFormOneMeaning) {
    EXPECT_EQ(UtcText(kExample), "1994-11-06T08:49:37Z");
    EXPECT_EQ(UtcText(kFirstInstant), "0001-01-01T00:00:00Z");
    EXPECT_EQ(UtcText(kLastInstant), "9999-12-31T23:59:59Z");
    EXPECT_EQ(UtcText(Instant{-1}), "1969-12-31T23:59:59Z");
    EXPECT_EQ(UtcText(Instant{kLastInstant.unixSeconds + 1}), "");
    for (const Instant instant : {kFirstInstant, Instant{-1}, Instant{0}, kExample, kLastInstant})
        EXPECT_EQ(ParseUtcText(UtcText(instant)), instant);
    for (const char* bad : {"", "1994-11-06T08:49:37", "1994-11-06 08:49:37Z", "1994-11-06T08:49:37+00:00",
                            "1994-11-31T08:49:37Z", "1994-02-29T08:49:37Z", "1994-11-06T24:00:00Z",
                            "1994-11-06T08:49:60Z", "0000-12-31T00:00:00Z", "1994-11-06T08:49:37.000Z",
                            "+994-11-06T08:49:37Z", " 1994-11-06T08:49:37Z"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(ParseUtcText(bad));
    }
}

TEST(Instant, OffsetTimeNamesTheSameInstantFromAnyZone) {
    EXPECT_EQ(OffsetTimeText({2026, 12, 10, 17, 30, 0}, -180), "2026-12-10T17:30:00-03:00");
    EXPECT_EQ(OffsetTimeText({2026, 12, 10, 20, 30, 0}, 0), "2026-12-10T20:30:00+00:00");
    EXPECT_EQ(OffsetTimeText({2026, 12, 11, 2, 0, 0}, 330), "2026-12-11T02:00:00+05:30");
    EXPECT_EQ(OffsetTimeText({2026, 12, 10, 17, 30, 0}, -180, 7), "2026-12-10T17:30:00.007-03:00");
    const auto utc = ParseOffsetTime("2026-12-10T20:30:00Z");
    ASSERT_TRUE(utc);
    for (const char* same :
         {"2026-12-10T17:30:00-03:00", "2026-12-10T20:30:00+00:00", "2026-12-11T02:00:00+05:30"})
        EXPECT_EQ(ParseOffsetTime(same), utc) << same;
    for (const char* bad : {"2026-12-10T20:30:00", "2026-12-10T20:30:00+15:00", "2026-12-10T20:30:00+03:60",
                            "2026-12-10T20:30:00+0300", "2026-12-10T20:30:00 -03:00", "2026-13-10T20:30:00Z",
                            "2026-12-10T20:30:00-03:00x",
                            // past the ends of the calendar once the offset is applied
                            "0001-01-01T00:00:00+00:01", "9999-12-31T23:59:59-00:01"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(ParseOffsetTime(bad));
    }
}

TEST(HttpDate, WritesTheFixedFormWithItsWeekday) {
    EXPECT_EQ(HttpDateText(kExample), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(HttpDateText(Instant{1700000000}), "Tue, 14 Nov 2023 22:13:20 GMT");
    EXPECT_EQ(HttpDateText(Instant{0}), "Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(HttpDateText(Instant{-86400}), "Wed, 31 Dec 1969 00:00:00 GMT");
}

TEST(HttpDate, ReadsThePreferredAndBothObsoleteForms) {
    for (const char* text : {"Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT",
                             "Sun Nov  6 08:49:37 1994", " \tSun, 06 Nov 1994 08:49:37 GMT "}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(ParseHttpDate(text), kExample);
    }
    EXPECT_EQ(ParseHttpDate("Thu, 29 Feb 2024 23:59:59 GMT"), Instant{1709251199});
    EXPECT_EQ(ParseHttpDate("Friday, 01-Jan-31 00:00:00 GMT"), Instant{1924992000});  // two digits: 2031
    EXPECT_EQ(ParseHttpDate("Sun, 06 Nov 1994 08:49:60 GMT"), Instant{kExample.unixSeconds + 23});
}

TEST(HttpDate, RefusesWhatIsNotOne) {
    for (const char* text :
         {"", "120", "Sun, 06 Nov 1994 08:49:37", "Sun, 06 Nov 1994 08:49:37 UTC",
          "Sun, 6 Nov 1994 08:49:37 GMT", "Sun, 31 Nov 1994 08:49:37 GMT", "Sun, 32 Nov 1994 08:49:37 GMT",
          "Sun, 06 Nov 1994 24:00:00 GMT", "Sun, 06 Nov 1994 08:49:37 GMT x", "Sun, 06 Abc 1994 08:49:37 GMT",
          "2022-01-10T14:32:05Z",
          // years the clock cannot hold
          "Sun Nov  6 08:49:37 0994", "Sun, 06 Nov 9999 08:49:37 GMT", "Wed, 31 Dec 1969 23:59:59 GMT"}) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(ParseHttpDate(text));
    }
}

}  // namespace
