// The client's retry timing, Retry-After, and the rules for continuing a cut download.
#include <gtest/gtest.h>

#include <set>

#include "update/transport/resume_rules.h"
#include "update/transport/retry_policy.h"

using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::system_clock;

namespace {

system_clock::time_point At(int64_t unixSeconds) { return system_clock::time_point(seconds(unixSeconds)); }

// 784111777 is Sun, 06 Nov 1994 08:49:37 GMT.
constexpr int64_t kExample = 784111777;

}  // namespace

TEST(RetryAfter, SecondsOrADateFromNow) {
    const auto now = At(kExample);
    EXPECT_EQ(ParseRetryAfter("120", now), milliseconds(120000));
    EXPECT_EQ(ParseRetryAfter(" 0 ", now), milliseconds(0));
    EXPECT_EQ(ParseRetryAfter("Sun, 06 Nov 1994 08:50:07 GMT", now), milliseconds(30000));
    EXPECT_EQ(ParseRetryAfter("Sun, 06 Nov 1994 08:00:00 GMT", now), milliseconds(0));  // already past
    // Huge values are a day (as good as never), not an overflow into a short wait.
    EXPECT_EQ(ParseRetryAfter("99999999999999999999999999", now), milliseconds(86400000));
    for (const char* text : {"", "-5", "1.5", "soon", "12 s"})
        EXPECT_FALSE(ParseRetryAfter(text, now)) << text;
}

TEST(RetryPolicy, WaitsDoubleWithJitterWithinTheirStep) {
    const TRESTRetries settings{5, 1000, 100000};
    for (const double draw : {0.0, 0.999}) {
        SCOPED_TRACE(draw);
        TRetryPolicy policy(settings, [draw] { return draw; });
        for (const int step : {1000, 2000, 4000, 8000, 16000}) {
            const auto wait = policy.NextWait();
            ASSERT_TRUE(wait);
            EXPECT_GE(wait->count(), step / 2);
            EXPECT_LE(wait->count(), step);
            EXPECT_EQ(wait->count(), static_cast<int64_t>(step / 2 + draw * step / 2));
        }
        EXPECT_FALSE(policy.NextWait());  // the five retries are spent
        EXPECT_EQ(policy.Retries(), 5u);
    }
}

TEST(RetryPolicy, RetryAfterIsAMinimumAndBeyondTheBudgetMeansNow) {
    TRetryPolicy policy({4, 1000, 10000}, [] { return 0.5; });
    EXPECT_EQ(policy.NextWait(milliseconds(3000)), milliseconds(3250));  // plus a quarter step
    EXPECT_EQ(policy.NextWait(milliseconds(0)), milliseconds(500));
    // 6250 ms left: a server asking for 7 s is not waited for, and that costs nothing.
    EXPECT_FALSE(policy.NextWait(milliseconds(7000)));
    EXPECT_EQ(policy.Retries(), 2u);
    // A wait past what is left is cut to it; then nothing is left.
    EXPECT_EQ(policy.NextWait(milliseconds(6000)), milliseconds(6250));
    EXPECT_FALSE(policy.NextWait(milliseconds(0)));
    EXPECT_FALSE(policy.NextWait());
}

TEST(RetryPolicy, NoRetriesOrNoBudgetMeansTheFirstFailureIsFinal) {
    TRetryPolicy none({0, 1000, 10000});
    EXPECT_FALSE(none.NextWait());
    TRetryPolicy broke({3, 1000, 0});
    EXPECT_FALSE(broke.NextWait());
    EXPECT_EQ(broke.NextWait(milliseconds(0)), std::nullopt);
    // Immediate retries are allowed (a zero first step) and still counted.
    TRetryPolicy eager({2, 0, 0}, [] { return 0.7; });
    EXPECT_EQ(eager.NextWait(), milliseconds(0));
    EXPECT_EQ(eager.NextWait(), milliseconds(0));
    EXPECT_FALSE(eager.NextWait());
}

TEST(RetryPolicy, WorkstationsFailingTogetherDoNotReturnTogether) {
    // The process generator: the first waits of many clients spread over their whole step.
    std::set<int64_t> firstWaits;
    for (int i = 0; i < 200; ++i) firstWaits.insert(TRetryPolicy({1, 1000, 10000}).NextWait()->count());
    EXPECT_GT(firstWaits.size(), 100u);
    EXPECT_GE(*firstWaits.begin(), 500);
    EXPECT_LT(*firstWaits.begin(), 600);
    EXPECT_LE(*firstWaits.rbegin(), 1000);
    EXPECT_GT(*firstWaits.rbegin(), 900);
}

TEST(RetryPolicy, WhatIsRetried) {
    for (const unsigned status : {429u, 503u}) EXPECT_TRUE(IsRetriedStatus(status)) << status;
    for (const unsigned status : {200u, 304u, 404u, 408u, 500u, 502u, 504u})
        EXPECT_FALSE(IsRetriedStatus(status)) << status;
    // Refused, reset, aborted, closed early: yes. Timeouts (12002, 10060), name resolution (12007)
    // and TLS (12157, 12175): no.
    for (const uint32_t code : {12029u, 12030u, 12031u, 12152u, 10053u, 10054u, 10061u})
        EXPECT_TRUE(IsRetriedTransportError(code)) << code;
    for (const uint32_t code : {12002u, 10060u, 12007u, 12157u, 12175u, 0u})
        EXPECT_FALSE(IsRetriedTransportError(code)) << code;
}

TEST(ContentRange, ReadsOnlyAWellFormedByteRange) {
    const auto range = ParseContentRange("bytes 100-199/1000");
    ASSERT_TRUE(range);
    EXPECT_EQ(range->First, 100u);
    EXPECT_EQ(range->Last, 199u);
    EXPECT_EQ(range->Complete, 1000u);
    const auto open = ParseContentRange("Bytes 5-9/*");
    ASSERT_TRUE(open);
    EXPECT_FALSE(open->Complete);
    for (const char* text : {"", "bytes */1000", "bytes 200-100/1000", "bytes 100-1000/1000", "items 0-1/2",
                             "bytes 1-2/3x", "bytes -1-2/3", "bytes 0-99999999999999999999/1"})
        EXPECT_FALSE(ParseContentRange(text)) << text;
}

TEST(ResumeValidator, AStrongValidatorAndByteRangesOrNothing) {
    const char* date = "Sun, 06 Nov 1994 08:49:37 GMT";
    const char* secondBefore = "Sun, 06 Nov 1994 08:49:36 GMT";
    const struct {
        const char *acceptRanges, *etag, *lastModified, *date, *expected;
    } cases[] = {
        {"bytes", "\"v1\"", "", "", "\"v1\""},
        {"none, Bytes", "\"v1\"", secondBefore, date, "\"v1\""},
        {"bytes", "W/\"v1\"", "", "", ""},  // weak: no proof the rest is the same content
        {"bytes", "W/\"v1\"", secondBefore, date, secondBefore},
        {"bytes", "", date, date, ""},               // modified in the answer's own second: weak
        {"bytes", "", secondBefore, "", ""},         // no Date to judge it by
        {"none", "\"v1\"", secondBefore, date, ""},  // ranges refused
        {"", "\"v1\"", "", "", ""},
        {"bytes", "\"v\r\n1\"", "", "", ""},  // would inject a header line
        {"bytes", "v1", "", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.acceptRanges << " | " << c.etag << " | " << c.lastModified);
        EXPECT_EQ(ResumeValidator(c.acceptRanges, c.etag, c.lastModified, c.date), c.expected);
    }
    EXPECT_EQ(ResumeRequestHeaders(1234, "\"v1\""), "Range: bytes=1234-\r\nIf-Range: \"v1\"\r\n");
}

// Every number from the wire is read strictly: a length a lenient reader would take ("-1" as
// 2^64 - 1, "+5", " 5", a second value) is no length at all.
TEST(ContentLength, OnlyDigitsWithin64Bits) {
    const struct {
        const char* text;
        std::optional<uint64_t> length;
    } cases[] = {
        {"0", 0},
        {"5", 5},
        {"18446744073709551615", UINT64_MAX},
        {"007", 7},
        {"18446744073709551616", std::nullopt},
        {"99999999999999999999999", std::nullopt},
        {"-1", std::nullopt},
        {"+5", std::nullopt},
        {" 5", std::nullopt},
        {"5 ", std::nullopt},
        {"5, 5", std::nullopt},
        {"0x10", std::nullopt},
        {"1e3", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseContentLength(c.text), c.length) << c.text;
}
