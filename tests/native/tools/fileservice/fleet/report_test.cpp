// What POST /report accepts: a batch of well-formed reports; anything else is refused whole.
#include <gtest/gtest.h>

#include <string>

#include "tools/fileservice/fleet/report.h"

namespace {

using fleet::ParseReportBatch;
using fleet::ReportError;

// A valid report with one member replaced (or removed with a null replacement, or added).
std::string ReportWith(const std::string& member, const std::string& json) {
    std::string fields[][2] = {{"format", "\"aurevia-report/1\""},
                               {"machine", "\"WS-ADM-01\""},
                               {"version", "\"2022.2.8249.63552\""},
                               {"event", "\"startup\""},
                               {"module", "\"\""},
                               {"result", "\"ok\""},
                               {"reason", "\"none\""},
                               {"text", "\"\""},
                               {"files_listed", "49"},
                               {"files_fetched", "3"},
                               {"files_failed", "0"},
                               {"bytes", "123456"},
                               {"duration_ms", "850"},
                               {"time", "\"2026-12-10T17:30:00-03:00\""},
                               {"ring", "\"geral\""},
                               {"rollout_number", "42"},
                               {"rollout_serial", "1765400000"},
                               {"release", "3"}};
    std::string out = "{";
    bool found = false;
    for (auto& [name, value] : fields) {
        if (name == member) {
            found = true;
            if (json == "<absent>") continue;
            value = json;
        }
        out += (out.size() > 1 ? "," : "") + ("\"" + name + "\":" + value);
    }
    if (!found) out += ",\"" + member + "\":" + json;
    return out + "}";
}

TEST(ReportBatch, AValidReportIsReadWithItsTimeInUtc) {
    const auto batch = ParseReportBatch("[" + ReportWith("text", "\"Relat\\u00f3rio baixado\"") + "]");
    ASSERT_EQ(batch.size(), 1u);
    EXPECT_EQ(batch[0].machine, "WS-ADM-01");
    EXPECT_EQ(batch[0].text, "Relatório baixado");
    EXPECT_EQ(batch[0].timeUnix, 1796934600);  // 2026-12-10T20:30:00Z
    EXPECT_EQ(batch[0].rolloutNumber, 42u);
    EXPECT_EQ(batch[0].release, 3u);
    // The optional members may be left out or null.
    const auto bare =
        ParseReportBatch("[" + ReportWith("ring", "null") + "," + ReportWith("release", "<absent>") + "]");
    EXPECT_EQ(bare[0].ring, "");
    EXPECT_FALSE(bare[1].release);
}

struct BadReport {
    std::string member, json;
};

TEST(ReportBatch, EveryMalformedMemberRefusesTheBatch) {
    const BadReport cases[] = {
        {"format", "\"aurevia-report/3\""},
        {"machine", "\"\""},
        {"machine", "\"WS ADM 01\""},
        {"machine", "\"<script>alert(1)</script>\""},
        {"machine", "\"a123456789012345678901234567890123456789012345678901234567890123\""},  // 64
        {"machine", "\"-WS\""},
        {"machine", "42"},
        {"machine", "<absent>"},
        {"version", "\"2022.2.x\""},
        {"event", "\"shutdown\""},
        {"result", "\"OK\""},
        {"reason", "\"cosmic rays\""},
        {"text", "\"line\\nforged line\""},
        {"text", "\"\\u0000\""},
        {"text", "\"\\u0085\""},
        {"text", "\"" + std::string(201, 'x') + "\""},
        {"module", "\"" + std::string(65, 'm') + "\""},
        {"files_listed", "-1"},
        {"files_fetched", "1.5"},
        {"files_failed", "\"3\""},
        {"bytes", "1e3"},
        {"bytes", "18446744073709551615"},
        {"duration_ms", "null"},
        {"time", "\"2026-12-10 17:30:00\""},
        {"time", "\"2026-02-30T10:00:00Z\""},
        {"time", "\"2026-12-10T17:30:00+25:00\""},
        {"time", "\"2026-12-10T17:30:00\""},
        {"ring", "\"Geral\""},
        {"ring", "\"a-ring-name-longer-than-32-characters\""},
        {"rollout_number", "100"},
        {"rollout_serial", "-5"},
        {"release", "\"3\""},
        {"user", "\"maria.souza\""},  // not part of the format
    };
    for (const auto& bad : cases) {
        const std::string body =
            "[" + ReportWith("machine", "\"WS-OK\"") + "," + ReportWith(bad.member, bad.json) + "]";
        EXPECT_THROW(ParseReportBatch(body), ReportError) << bad.member << " = " << bad.json;
    }
}

// A report of format /2: the valid /1 report with `extra` members added (",\"name\":value...").
std::string Format2With(const std::string& extra) {
    const std::string base = ReportWith("format", "\"aurevia-report/2\"");
    return base.substr(0, base.size() - 1) + extra + "}";
}

constexpr char kAllOfFormat2[] =
    ",\"staged\":5,\"staged_at\":\"2026-12-10T08:00:00-03:00\",\"store_bytes\":80000,\"wire_bytes\":1200,"
    "\"files_patched\":2";

TEST(ReportBatch, FormatTwoIsTakenBesideFormatOne) {
    // A service in the field sees batches of either format, and of both where launchers share a spool.
    const auto batch = ParseReportBatch("[" + ReportWith("text", "\"\"") + "," + Format2With(kAllOfFormat2) +
                                        "," + Format2With(",\"staged\":null") + "]");
    ASSERT_EQ(batch.size(), 3u);
    EXPECT_FALSE(batch[0].format2);
    EXPECT_FALSE(batch[0].staged || batch[0].storeBytes || batch[0].wireBytes || batch[0].filesPatched);
    const fleet::Report& two = batch[1];
    EXPECT_TRUE(two.format2);
    EXPECT_EQ(two.staged, 5u);
    EXPECT_EQ(two.stagedAtUnix, 1796900400);  // 2026-12-10T11:00:00Z
    EXPECT_EQ(two.storeBytes, 80000u);
    EXPECT_EQ(two.wireBytes, 1200u);
    EXPECT_EQ(two.filesPatched, 2u);
    EXPECT_EQ(two.release, 3u);  // the members of /1 as before
    // Every member of /2 is optional: a workstation that stages nothing says so by leaving it out.
    EXPECT_TRUE(batch[2].format2);
    EXPECT_FALSE(batch[2].staged);
}

TEST(ReportBatch, FormatTwoMembersAreBoundedAndRefusedInFormatOne) {
    const std::string refused[] = {
        // /1 does not know them: an old launcher never writes them, a misnamed format is no excuse.
        ReportWith("staged", "5"),
        ReportWith("store_bytes", "1"),
        ReportWith("files_patched", "0"),
        Format2With(",\"staged\":9223372036854775808"),  // past SQLite's signed 64 bits
        Format2With(",\"staged\":-1"),
        Format2With(",\"staged\":\"5\""),
        Format2With(",\"staged_at\":\"2026-12-10T08:00:00Z\""),  // a time of no staged release
        Format2With(",\"staged\":5,\"staged_at\":\"2026-12-10 08:00\""),
        Format2With(",\"staged\":5,\"staged_at\":\"1969-12-31T23:00:00Z\""),
        Format2With(",\"staged\":5,\"staged_at\":\"2026-12-10T08:00:00-03:00" + std::string(30, ' ') + "\""),
        Format2With(",\"store_bytes\":1125899906842625"),  // past 2^50
        Format2With(",\"wire_bytes\":1.5"),
        Format2With(",\"files_patched\":10000001"),
        Format2With(",\"wire_bytes\":1,\"wire_bytes\":2"),
        Format2With(",\"user\":\"maria.souza\""),
    };
    for (const std::string& bad : refused)
        EXPECT_THROW(ParseReportBatch("[" + ReportWith("text", "\"\"") + "," + bad + "]"), ReportError)
            << bad;
}

TEST(ReportBatch, TheBatchItselfIsBounded) {
    const std::string one = ReportWith("text", "\"\"");
    std::string fifty = "[", fiftyOne = "[";
    for (int i = 0; i < 50; ++i) fifty += (i ? "," : "") + one;
    fiftyOne = fifty + "," + one + "]";
    fifty += "]";
    EXPECT_EQ(ParseReportBatch(fifty).size(), 50u);
    const std::string cases[] = {
        fiftyOne,
        "[]",
        "{}",
        one,  // not in an array
        "[" + one,
        "[" + one + "] trailing",
        "[" + one.substr(0, one.size() - 1) + ",\"machine\":\"X\"}]",  // a member twice
        "[\"\xff\xfe\"]",                                              // not UTF-8
        std::string(70 * 1024, ' ') + "[" + one + "]",                 // over 64 KiB
        "[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]"
        "]]]]]]]]]]]]]]]]]]]]]]]]]]]]]",
    };
    for (const auto& body : cases) EXPECT_THROW(ParseReportBatch(body), ReportError) << body.substr(0, 80);
}

}  // namespace
