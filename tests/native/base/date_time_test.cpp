#include <gtest/gtest.h>

#include "base/date_time.h"

TEST(DateTime, EncodesAndDecodesKnownDays) {
    struct Case {
        DateTimeParts parts;
        double value;
    };
    const Case cases[] = {
        {{1899, 12, 30, 0, 0, 0, 0}, 0.0},
        {{1900, 1, 1, 0, 0, 0, 0}, 2.0},
        {{2022, 1, 31, 12, 0, 0, 0}, 44592.5},
        {{1899, 12, 29, 6, 0, 0, 0}, -1.25},
    };
    for (const auto& c : cases) {
        EXPECT_DOUBLE_EQ(EncodeDateTime(c.parts), c.value);
        const DateTimeParts back = DecodeDateTime(c.value);
        EXPECT_EQ(back.year, c.parts.year);
        EXPECT_EQ(back.month, c.parts.month);
        EXPECT_EQ(back.day, c.parts.day);
        EXPECT_EQ(back.hour, c.parts.hour);
    }
}

TEST(DateTime, KeepsMillisecondsThroughARoundTrip) {
    const DateTimeParts p{2026, 12, 10, 23, 59, 59, 999};
    const DateTimeParts back = DecodeDateTime(EncodeDateTime(p));
    EXPECT_EQ(back.day, 10);
    EXPECT_EQ(back.second, 59);
    EXPECT_EQ(back.millisecond, 999);
}
