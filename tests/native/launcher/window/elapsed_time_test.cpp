#include <gtest/gtest.h>

#include "launcher/window/elapsed_time.h"

TEST(ElapsedTime, MinutesSecondsAndMillisecondsWithTheUsersSeparatorAndNoHours) {
    struct Case {
        int64_t ms;
        const wchar_t* separator;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {3512, L":", L"00:03.512"},
        {((1 * 60 + 2) * 60 + 3) * 1000 + 4, L":", L"02:03.004"},  // the hour is dropped
        {0, L":", L"00:00.000"},
        {59 * 60000 + 59999, L":", L"59:59.999"},
        {60 * 60000, L":", L"00:00.000"},
        {25LL * 3600000 + 61001, L":", L"01:01.001"},  // days go with the hours
        {3512, L".", L"00.03.512"},
        {-3512, L":", L"00:03.512"},
    };
    for (const Case& c : cases) EXPECT_EQ(FormatElapsed(c.ms, c.separator), c.expected) << c.ms;
}
