// The launcher's fleet reports against the fleet service's own validator: a batch the service
// refuses is refused for ever, so whatever a workstation's update wrote must pass.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launcher/fleet/fleet_report.h"
#include "tools/fileservice/fleet/report.h"

namespace {

const TLogTime kTime{2026, 12, 10, 17, 30, 0, 456, -180};

struct Row {
    const char* what;
    TFleetOrigin origin;
    TFleetReport report;
};

TFleetReport Failed(std::string AText) {
    TFleetReport report;
    report.Event = TFleetEvent::Module;
    report.Module = "Admission.exe";
    report.Result = TFleetResult::Failed;
    report.Reason = TFleetReason::Timeout;
    report.Text = std::move(AText);
    report.FilesListed = 49;
    report.Release = {"piloto", 99, 1765400000, 4};
    return report;
}

std::vector<fleet::Report> ThroughTheService(const std::vector<std::string>& AReports) {
    return fleet::ParseReportBatch(FleetBatchText(AReports));
}

TEST(FleetReportFormat, WhatTheLauncherWritesTheServiceTakes) {
    const std::string kLong(300, 'x');
    const Row rows[] = {
        {"a plain failure", {"WS-ADM-01", "2022.2.8249.63552"}, Failed("não terminou em 30 s")},
        {"the computer's name holds what a host name may not",
         {"RECEPÇÃO.01$", "2022.2.8249.63552"},
         Failed("")},
        {"a name starting with a dash", {"-WS", "1.0.0.1"}, Failed("")},
        {"a name longer than a label", {std::string(80, 'W'), "1.0.0.1"}, Failed("")},
        {"C0, DEL and C1 controls in the text",
         {"WS-01", "1.0.0.1"},
         Failed("a\tb\r\nc\x7F"
                "d\xC2\x85"
                "e\xC2\x9F"
                "f\xC2\xA0g")},
        {"broken UTF-8 in the text", {"WS-01", "1.0.0.1"}, Failed("A lista \xC3 \xED\xA0\x80 \xFF fim")},
        {"a text past its length, in letters of two bytes",
         {"WS-01", "1.0.0.1"},
         Failed(std::string(150, 'a') +
                [] {
                    std::string s;
                    for (int i = 0; i < 150; ++i) s += "ç";
                    return s;
                }())},
        {"a module name past its length",
         {"WS-01", "1.0.0.1"},
         [&] {
             TFleetReport report = Failed(kLong);
             report.Module = kLong + ".exe";
             return report;
         }()},
        {"the start-up refresh without release control", {"WS-01", "1.0.0.1"}, TFleetReport{}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const std::string json = FleetReportJson(row.report, row.origin, kTime);
        std::vector<fleet::Report> taken;
        try {
            taken = ThroughTheService({json});
        } catch (const fleet::ReportError& e) {
            ADD_FAILURE() << e.what() << "\n" << json;
            continue;
        }
        ASSERT_EQ(taken.size(), 1u);
        EXPECT_EQ(taken[0].reason, FleetReasonName(row.report.Reason));
        EXPECT_EQ(taken[0].text, FleetText(row.report.Text, kFleetTextChars));
        EXPECT_EQ(taken[0].time, "2026-12-10T17:30:00-03:00");
        EXPECT_EQ(taken[0].timeUnix, 1796934600);  // 2026-12-10T20:30:00Z
    }
}

TEST(FleetReportFormat, MachineNamesAreMappedIntoTheHostNameRule) {
    struct Case {
        const char *computer, *reported;
    } cases[] = {
        {"WS-ADM-01", "WS-ADM-01"},
        {"RECEPÇÃO.01$", "RECEP__O_01_"},
        {"-WS", "_WS"},
        {"WS-", "WS-"},
        {"", "_"},
        {"A\xFF"
         "B",
         "A_B"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FleetMachineName(c.computer), c.reported) << c.computer;
        EXPECT_TRUE(IsFleetMachineName(FleetMachineName(c.computer))) << c.computer;
    }
    EXPECT_EQ(FleetMachineName(std::string(80, 'W')), std::string(kFleetMachineChars, 'W'));
}

// Every word the launcher can write is one the service knows.
TEST(FleetReportFormat, EveryEventResultAndReasonIsAKnownWord) {
    for (const auto event : {TFleetEvent::Startup, TFleetEvent::Module, TFleetEvent::SelfUpdate})
        EXPECT_TRUE(IsFleetWord(FleetEventName(event), kFleetEventWords)) << FleetEventName(event);
    for (const auto result : {TFleetResult::Ok, TFleetResult::Failed, TFleetResult::Refused})
        EXPECT_TRUE(IsFleetWord(FleetResultName(result), kFleetResultWords)) << FleetResultName(result);
    for (int reason = 0; reason <= static_cast<int>(TFleetReason::Other); ++reason) {
        const std::string_view name = FleetReasonName(static_cast<TFleetReason>(reason));
        EXPECT_TRUE(IsFleetWord(name, kFleetReasonWords)) << name;
    }
}

// The fullest batch the launcher sends, trimmed to the caps, is one the service takes whole.
TEST(FleetReportFormat, AFullBatchTrimmedByTheLauncherIsTaken) {
    std::string text;
    for (int i = 0; i < 250; ++i) text += "\xE2\x82\xAC";  // three bytes a character
    std::vector<std::string> reports;
    for (int i = 0; i < 2 * static_cast<int>(kFleetBatchReports); ++i)
        reports.push_back(FleetReportJson(Failed(text), {std::string(80, 'W'), "2022.2.8249.63552"}, kTime));
    TrimFleetBatch(reports);
    ASSERT_LE(FleetBatchText(reports).size(), kFleetBatchBytes);
    EXPECT_EQ(ThroughTheService(reports).size(), reports.size());
}

// Format /2: what the launcher writes for a service that takes it passes the service's check with
// every value kept; for one that does not, the same report is /1 exactly, written afresh or turned
// back from a spooled /2.
TEST(FleetReportFormat, FormatTwoIsTakenAndTurnsBackIntoFormatOneExactly) {
    const TFleetOrigin origin{"WS-ADM-01", "2022.2.8249.63552"};
    TFleetReport staged = Failed("não terminou em 30 s");
    staged.Staged = {5, "2026-12-10T08:00:00-03:00"};
    staged.StoreBytes = 80000;
    staged.WireBytes = 1200;
    staged.FilesPatched = 2;
    TFleetReport pastBounds = staged;
    pastBounds.Staged.Release = kFleetMostSerial + 1;
    pastBounds.StoreBytes = kFleetMostBytes + 1;

    const std::string two = FleetReportJson(staged, origin, kTime, true);
    const auto taken = ThroughTheService({two, FleetReportJson(pastBounds, origin, kTime, true)});
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_TRUE(taken[0].format2);
    EXPECT_EQ(taken[0].staged, 5u);
    EXPECT_EQ(taken[0].stagedAt, "2026-12-10T08:00:00-03:00");
    EXPECT_EQ(taken[0].storeBytes, 80000u);
    EXPECT_EQ(taken[0].wireBytes, 1200u);
    EXPECT_EQ(taken[0].filesPatched, 2u);
    // A value past its bound is left out rather than have the whole batch refused for ever.
    EXPECT_FALSE(taken[1].staged);
    EXPECT_FALSE(taken[1].storeBytes);
    EXPECT_EQ(taken[1].wireBytes, 1200u);

    const std::string one = FleetReportJson(staged, origin, kTime);
    EXPECT_EQ(one, FleetReportJson(Failed("não terminou em 30 s"), origin, kTime));
    bool wasFormat2 = false;
    EXPECT_EQ(FleetReportAsFormat1(two, &wasFormat2), one);
    EXPECT_TRUE(wasFormat2);
    EXPECT_EQ(FleetReportAsFormat1(one, &wasFormat2), one);
    EXPECT_FALSE(wasFormat2);
    EXPECT_EQ(FleetReportAsFormat1("{not json", &wasFormat2), "{not json");
    // Nothing of /2 to tell: /1 even for a service that takes /2.
    EXPECT_EQ(FleetReportJson(Failed(""), origin, kTime, true), FleetReportJson(Failed(""), origin, kTime));
}

TEST(FleetReportFormat, TheFormatsHeaderIsReadAsAList) {
    EXPECT_TRUE(FleetFormatsTakeFormat2(kFleetFormatsTaken));
    EXPECT_TRUE(FleetFormatsTakeFormat2("aurevia-report/2"));
    EXPECT_TRUE(FleetFormatsTakeFormat2("aurevia-report/1,aurevia-report/2, aurevia-report/3"));
    EXPECT_FALSE(FleetFormatsTakeFormat2(""));
    EXPECT_FALSE(FleetFormatsTakeFormat2("aurevia-report/1"));
    EXPECT_FALSE(FleetFormatsTakeFormat2("aurevia-report/20"));
    EXPECT_FALSE(FleetFormatsTakeFormat2("xaurevia-report/2"));
}

}  // namespace
