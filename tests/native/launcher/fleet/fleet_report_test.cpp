// What a workstation tells the fleet view: the service refuses a malformed batch for ever, so every
// text must be valid JSON and UTF-8 whatever the update's messages held.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "launcher/fleet/fleet_report.h"

namespace {

const TLogTime kTime{2026, 12, 10, 17, 30, 0, 456, -180};
const TFleetOrigin kOrigin{"WS-ADM-01", "2022.2.8249.63552"};

rapidjson::Document Parsed(const std::string& AJson) {
    rapidjson::Document document;
    document.Parse<rapidjson::kParseValidateEncodingFlag>(AJson.c_str(), AJson.size());
    EXPECT_FALSE(document.HasParseError()) << AJson;
    return document;
}

std::string ReportWithText(const std::string& AText) {
    TFleetReport report;
    report.Text = AText;
    return FleetReportJson(report, kOrigin, kTime);
}

std::string Report(int ANumber, size_t ATextChars = 0) {
    TFleetReport report;
    report.FilesFetched = static_cast<uint64_t>(ANumber);
    report.Text = std::string(ATextChars, 'x');
    return FleetReportJson(report, kOrigin, kTime);
}

}  // namespace

TEST(FleetReport, IsTheAgreedObjectOnOneLine) {
    TFleetReport report;
    report.Event = TFleetEvent::Module;
    report.Module = "Admission.exe";
    report.Result = TFleetResult::Failed;
    report.Reason = TFleetReason::Timeout;
    report.Text = "Admission.exe: REST request failed: The operation timed out";
    report.FilesListed = 49;
    report.FilesFetched = 3;
    report.FilesFailed = 1;
    report.Bytes = 123456;
    report.DurationMs = 850;
    EXPECT_EQ(
        FleetReportJson(report, kOrigin, kTime),
        "{\"format\":\"aurevia-report/1\",\"machine\":\"WS-ADM-01\",\"version\":\"2022.2.8249.63552\","
        "\"event\":\"module\",\"module\":\"Admission.exe\",\"result\":\"failed\",\"reason\":\"timeout\","
        "\"text\":\"Admission.exe: REST request failed: The operation timed out\",\"files_listed\":49,"
        "\"files_fetched\":3,\"files_failed\":1,\"bytes\":123456,\"duration_ms\":850,"
        "\"time\":\"2026-12-10T17:30:00-03:00\"}");

    // Release control's fields only when known, each on its own.
    report.Release.Ring = "geral";
    report.Release.RolloutSerial = 1765400000;
    const rapidjson::Document withRelease = Parsed(FleetReportJson(report, kOrigin, kTime));
    EXPECT_STREQ(withRelease["ring"].GetString(), "geral");
    EXPECT_EQ(withRelease["rollout_serial"].GetUint64(), 1765400000u);
    EXPECT_FALSE(withRelease.HasMember("rollout_number"));
    EXPECT_FALSE(withRelease.HasMember("release"));
}

TEST(FleetReport, VocabularyIsTheAgreedOne) {
    EXPECT_EQ(FleetEventName(TFleetEvent::Startup), "startup");
    EXPECT_EQ(FleetEventName(TFleetEvent::SelfUpdate), "self-update");
    EXPECT_EQ(FleetResultName(TFleetResult::Refused), "refused");
    const char* reasons[] = {"none",    "listing",   "fetch", "signature", "expired", "replayed", "altered",
                             "timeout", "too_large", "disk",  "tls",       "server",  "other"};
    for (int i = 0; i <= static_cast<int>(TFleetReason::Other); ++i)
        EXPECT_EQ(FleetReasonName(static_cast<TFleetReason>(i)), reasons[i]);
}

TEST(FleetReport, TextIsValidJsonAndUtf8WhateverTheMessageHeld) {
    struct Case {
        std::string given;
        std::string read;  // as a JSON reader decodes the text
    };
    const Case cases[] = {
        {"say \"hi\" \\ there", "say \"hi\" \\ there"},
        {"line\r\nnext\ttab\x01", "line  next tab "},
        {"Módulo não instalado", "Módulo não instalado"},
        {"cut \xC3", "cut \xEF\xBF\xBD"},                              // a sequence cut short
        {"bad \xFF\xFE end", "bad \xEF\xBF\xBD\xEF\xBF\xBD end"},      // bytes that start nothing
        {"over \xC0\xAF long", "over \xEF\xBF\xBD\xEF\xBF\xBD long"},  // an overlong "/"
        {"half \xED\xA0\x80 pair", "half \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD pair"},  // a lone surrogate
        {"emoji \xF0\x9F\x98\x80", "emoji \xF0\x9F\x98\x80"},
    };
    for (const Case& c : cases) {
        const rapidjson::Document document = Parsed(ReportWithText(c.given));
        ASSERT_TRUE(document.IsObject());
        EXPECT_EQ(std::string(document["text"].GetString()), c.read) << c.given;
    }
}

TEST(FleetReport, TextIsCutAt200CharactersNeverInsideOne) {
    std::string accented;
    for (int i = 0; i < 300; ++i) accented += "\xC3\xA7";  // ç, two bytes each
    const rapidjson::Document document = Parsed(ReportWithText(accented));
    const std::string text = document["text"].GetString();
    EXPECT_EQ(text.size(), 400u);
    EXPECT_EQ(text, accented.substr(0, 400));
    EXPECT_EQ(FleetText(std::string(250, 'a'), kFleetTextChars), std::string(200, 'a'));
    EXPECT_EQ(FleetText("short", kFleetTextChars), "short");
}

TEST(FleetReport, TimeHasTheLocalOffsetAndNoFraction) {
    EXPECT_EQ(FleetTime(TLogTime{2026, 12, 10, 17, 30, 0, 999, -180}), "2026-12-10T17:30:00-03:00");
    EXPECT_EQ(FleetTime(TLogTime{2026, 1, 2, 3, 4, 5, 0, 0}), "2026-01-02T03:04:05+00:00");
    EXPECT_EQ(FleetTime(TLogTime{2026, 6, 30, 23, 59, 59, 0, 330}), "2026-06-30T23:59:59+05:30");
}

TEST(FleetBatch, TextIsAJsonArrayWhoseLinesAreTheReports) {
    const std::vector<std::string> reports{Report(1), Report(2), Report(3)};
    const std::string text = FleetBatchText(reports);
    const rapidjson::Document document = Parsed(text);
    ASSERT_TRUE(document.IsArray());
    ASSERT_EQ(document.Size(), 3u);
    EXPECT_EQ(document[2]["files_fetched"].GetUint64(), 3u);
    EXPECT_EQ(FleetBatchReports(text), reports);
}

TEST(FleetBatch, DamagedLinesOfASpoolAreSkippedAndTheRestKept) {
    const std::string good1 = Report(1), good2 = Report(2);
    const std::string text = "[\n" + good1 + ",\n" + good2.substr(0, 40) + "\n{\"not\": json}\n" +
                             "{}garbage}\n" + good2 + "\r\n]\n";
    EXPECT_EQ(FleetBatchReports(text), (std::vector<std::string>{good1, good2}));
    EXPECT_TRUE(FleetBatchReports("").empty());
    EXPECT_TRUE(FleetBatchReports("\x01\x02 not a spool at all").empty());
}

TEST(FleetBatch, TrimDropsTheOldestUntilCountAndSizeFit) {
    struct Case {
        int reports;
        size_t textChars;
        size_t maxReports;
        size_t maxBytes;
    };
    const Case cases[] = {
        {49, 0, 50, kFleetBatchBytes},      // fits: nothing dropped
        {80, 0, 50, kFleetBatchBytes},      // too many
        {300, 200, 500, kFleetBatchBytes},  // too large: 300 reports of ~500 bytes pass 64 KiB
        {3, 0, 50, 10},                     // not even one fits
    };
    for (const Case& c : cases) {
        std::vector<std::string> batch;
        for (int i = 1; i <= c.reports; ++i) batch.push_back(Report(i, c.textChars));
        const std::vector<std::string> before = batch;
        const size_t dropped = TrimFleetBatch(batch, c.maxReports, c.maxBytes);
        EXPECT_EQ(dropped + batch.size(), before.size());
        EXPECT_LE(batch.size(), c.maxReports);
        if (!batch.empty()) {
            EXPECT_LE(FleetBatchText(batch).size(), c.maxBytes);
            // The newest stay, in order.
            EXPECT_EQ(batch.back(), before.back());
            EXPECT_EQ(batch.front(), before[dropped]);
            // As many as fit: one more would not.
            if (dropped > 0) {
                std::vector<std::string> oneMore(before.begin() + static_cast<std::ptrdiff_t>(dropped - 1),
                                                 before.end());
                EXPECT_TRUE(oneMore.size() > c.maxReports || FleetBatchText(oneMore).size() > c.maxBytes);
            }
        }
    }
}

TEST(FleetReport, PrivateNamesAreScrubbedAsWholeWords) {
    const std::vector<std::string> secrets{"C:\\users\\joao.silva", "joao.silva", "adm"};
    struct Case {
        const char* given;
        const char* scrubbed;
    };
    const Case cases[] = {
        {"C:\\Users\\Joao.Silva\\AppData\\Local\\x.tmp: access denied",
         "*\\AppData\\Local\\x.tmp: access denied"},
        {"user JOAO.SILVA refused", "user * refused"},
        {"Admission.exe: timed out", "Admission.exe: timed out"},  // "adm" inside a word stays
        {"adm: failed", "*: failed"},
        {"joao.silvaX stays", "joao.silvaX stays"},
    };
    for (const Case& c : cases) EXPECT_EQ(ScrubbedText(c.given, secrets, "*"), c.scrubbed) << c.given;
}
