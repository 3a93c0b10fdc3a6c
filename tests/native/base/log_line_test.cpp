// The log's line format: what IT greps for must stay stable.
#include <gtest/gtest.h>

#include "base/log_line.h"

TEST(LogLine, TimeCarriesMillisecondsAndTheOffsetFromUtc) {
    struct Case {
        TLogTime time;
        const char* text;
    };
    const Case cases[] = {
        {{2026, 12, 10, 14, 3, 5, 123, -180}, "2026-12-10T14:03:05.123-03:00"},
        {{2026, 1, 2, 0, 0, 0, 0, 0}, "2026-01-02T00:00:00.000+00:00"},
        {{2026, 6, 30, 23, 59, 59, 999, 330}, "2026-06-30T23:59:59.999+05:30"},
        {{2026, 3, 1, 8, 0, 7, 40, -570}, "2026-03-01T08:00:07.040-09:30"},
    };
    for (const Case& c : cases) EXPECT_EQ(FormatLogTime(c.time), c.text);
}

TEST(LogLine, ValuesAreBareOrQuotedSoThatEveryEventIsOneLine) {
    struct Case {
        const char* value;
        const char* written;
    };
    const Case cases[] = {
        {"Admission.exe", "Admission.exe"},   {"", "\"\""},
        {"C:\\Aurevia\\", "C:\\Aurevia\\"},   {"C:\\Program Files\\", "\"C:\\\\Program Files\\\\\""},
        {"two words", "\"two words\""},       {"a=b", "\"a=b\""},
        {"say \"hi\"", "\"say \\\"hi\\\"\""}, {"line\r\nnext\tcol", "\"line\\r\\nnext\\tcol\""},
        {"bell\x07", "\"bell\\x07\""},        {"Módulo", "Módulo"},
    };
    for (const Case& c : cases) EXPECT_EQ(LogValue(c.value), c.written) << c.value;
}

TEST(LogLine, LevelEventAndFieldsFollowTheTimeInOrder) {
    const TLogTime time{2026, 12, 10, 14, 3, 5, 123, -180};
    EXPECT_EQ(TLogLine(TLogLevel::Info, "update")
                  .Add("module", L"Admission.exe")
                  .Add("listed", 50)
                  .Add("bytes", uint64_t{5'000'000'000})
                  .Add("reason", L"Não encontrado")
                  .Text(time),
              "2026-12-10T14:03:05.123-03:00 INFO update module=Admission.exe listed=50 bytes=5000000000 "
              "reason=\"N\xC3\xA3o encontrado\"\r\n");
    EXPECT_EQ(TLogLine(TLogLevel::Warn, "fetch-failed").Text(time),
              "2026-12-10T14:03:05.123-03:00 WARN fetch-failed\r\n");
    EXPECT_EQ(TLogLine(TLogLevel::Error, "message").Add("pid", -1).Text(time),
              "2026-12-10T14:03:05.123-03:00 ERROR message pid=-1\r\n");
}
