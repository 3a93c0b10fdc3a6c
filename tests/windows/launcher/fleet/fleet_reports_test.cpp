// The sender and its spool against a scripted endpoint: what goes out, what waits, what is dropped,
// and that a silent service costs the caller nothing.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <chrono>

#include "launcher/fleet/fleet_reports.h"
#include "support/scripted_server.h"
#include "support/test_files.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string kAccepted =
    ScriptedServer::Response("HTTP/1.1 200 OK", "Content-Type: application/json\r\n", "{\"accepted\":1}");

TFleetSettings Settings(const std::wstring& AUrl, const TempFolder& AFolder) {
    TFleetSettings settings;
    settings.Url = AUrl;
    settings.SpoolPath = AFolder / L"Aurevia\\fleet-spool.json";
    settings.Origin = {"WS-TEST-01", "2022.2.8249.63552"};
    settings.Timeouts = {1000, 1000, 1000, 1000};
    settings.Secrets = {"joao.silva"};
    return settings;
}

// Report number N: told apart by its fetched count.
TFleetReport Numbered(int ANumber) {
    TFleetReport report;
    report.Event = TFleetEvent::Module;
    report.Module = "Admission.exe";
    report.FilesFetched = static_cast<uint64_t>(ANumber);
    return report;
}

// The numbers of the reports of a batch or spool text, in order; -1 for a text that is no batch.
std::vector<int> Numbers(const std::string& AText) {
    rapidjson::Document document;
    document.Parse(AText.c_str(), AText.size());
    if (document.HasParseError() || !document.IsArray()) return {-1};
    std::vector<int> numbers;
    for (const auto& report : document.GetArray()) numbers.push_back(report["files_fetched"].GetInt());
    return numbers;
}

std::vector<int> Range(int AFirst, int ALast) {
    std::vector<int> numbers;
    for (int i = AFirst; i <= ALast; ++i) numbers.push_back(i);
    return numbers;
}

std::string SpoolOf(const TFleetSettings& ASettings) { return ReadWholeFile(ASettings.SpoolPath); }

bool WaitUntilSpooled(const TFleetSettings& ASettings, size_t ACount) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        const std::vector<int> numbers = Numbers(SpoolOf(ASettings));
        if (numbers.size() == ACount && numbers.front() != -1) return true;
        Sleep(25);
    }
    return false;
}

}  // namespace

TEST(FleetReports, ABatchIsPostedAsJsonToReport) {
    ScriptedServer server;
    server.On("/report", kAccepted);
    TempFolder folder;
    // A configured URL with a trailing slash still reports to <url>/report.
    const TFleetSettings settings = Settings(server.BaseURL() + L"/", folder);
    {
        TFleetReports reports(settings);
        TFleetReport report = Numbered(3);
        report.Result = TFleetResult::Failed;
        report.Reason = TFleetReason::Fetch;
        report.Text = "C:\\Users\\joao.silva\\x: no";
        reports.Send(report);
        ASSERT_TRUE(reports.Flush(10000));
    }
    const std::vector<ReceivedRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].requestLine, "POST /report HTTP/1.1");
    EXPECT_EQ(requests[0].Header("Content-Type"), "application/json");
    rapidjson::Document body;
    body.Parse(requests[0].body.c_str(), requests[0].body.size());
    ASSERT_TRUE(body.IsArray()) << requests[0].body;
    ASSERT_EQ(body.Size(), 1u);
    const auto& sent = body[0];
    EXPECT_STREQ(sent["format"].GetString(), "aurevia-report/1");
    EXPECT_STREQ(sent["machine"].GetString(), "WS-TEST-01");
    EXPECT_STREQ(sent["event"].GetString(), "module");
    EXPECT_STREQ(sent["result"].GetString(), "failed");
    EXPECT_STREQ(sent["text"].GetString(), "C:\\Users\\*\\x: no");
    EXPECT_EQ(sent["files_fetched"].GetInt(), 3);
    // Delivered: nothing waits.
    EXPECT_FALSE(PathExists(settings.SpoolPath));
}

TEST(FleetReports, ReportsForADeadEndpointWaitAndGoWithTheNextOne) {
    TempFolder folder;
    const TFleetSettings dead = Settings(L"http://127.0.0.1:" + std::to_wstring(ClosedPort()), folder);
    {
        TFleetReports reports(dead);
        reports.Send(Numbered(1));
        ASSERT_TRUE(reports.Flush(15000));
        reports.Send(Numbered(2));
        ASSERT_TRUE(reports.Flush(15000));
    }
    EXPECT_EQ(Numbers(SpoolOf(dead)), Range(1, 2));

    // The next launcher, the service back: the spool goes first, the new report last.
    ScriptedServer server;
    server.On("/report", kAccepted);
    const TFleetSettings live = Settings(server.BaseURL(), folder);
    {
        TFleetReports reports(live);
        reports.Send(Numbered(3));
        ASSERT_TRUE(reports.Flush(10000));
    }
    const std::vector<ReceivedRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(Numbers(requests[0].body), Range(1, 3));
    EXPECT_FALSE(PathExists(live.SpoolPath));
}

TEST(FleetReports, TheSpoolKeepsTheNewestFifty) {
    TempFolder folder;
    const TFleetSettings dead = Settings(L"http://127.0.0.1:" + std::to_wstring(ClosedPort()), folder);
    TFleetReports reports(dead);
    for (int i = 1; i <= 70; ++i) {
        reports.Send(Numbered(i));
        // Some while the sender is busy, some one at a time.
        if (i % 20 == 0) {
            ASSERT_TRUE(reports.Flush(15000));
        }
    }
    ASSERT_TRUE(reports.Flush(15000));
    EXPECT_EQ(Numbers(SpoolOf(dead)), Range(21, 70));
}

TEST(FleetReports, AnswersDecideWhetherTheBatchStays) {
    struct Case {
        const char* status;
        bool kept;
    };
    const Case cases[] = {
        {"HTTP/1.1 400 Bad Request", false},  // malformed for ever: dropped
        {"HTTP/1.1 503 Service Unavailable", true},
        {"HTTP/1.1 404 Not Found", true},  // a service without reports yet, or a wrong URL
        {"HTTP/1.1 302 Found", true},      // never followed
    };
    for (const Case& c : cases) {
        ScriptedServer server;
        server.On("/report",
                  ScriptedServer::Response(c.status, "Location: http://127.0.0.1:1/report\r\n", "{}"));
        TempFolder folder;
        const TFleetSettings settings = Settings(server.BaseURL(), folder);
        WriteWholeFile(settings.SpoolPath,
                       FleetBatchText({FleetReportJson(Numbered(1), settings.Origin, {}),
                                       FleetReportJson(Numbered(2), settings.Origin, {})}));
        TFleetReports reports(settings);
        reports.Send(Numbered(3));
        ASSERT_TRUE(reports.Flush(10000));
        ASSERT_EQ(server.Requests().size(), 1u) << c.status;
        EXPECT_EQ(Numbers(server.Requests()[0].body), Range(1, 3)) << c.status;
        EXPECT_EQ(Numbers(SpoolOf(settings)), c.kept ? Range(1, 3) : std::vector<int>{-1}) << c.status;
    }
}

TEST(FleetReports, ASilentServiceCostsTheCallerNothing) {
    ScriptedServer server;
    server.On("/report", [&server](SOCKET, const ReceivedRequest&) { server.HoldUntilStopped(); });
    TempFolder folder;
    TFleetSettings settings = Settings(server.BaseURL(), folder);
    settings.CloseWaitMs = 200;
    const auto start = Clock::now();
    {
        TFleetReports reports(settings);
        reports.Send(Numbered(1));
        reports.Send(Numbered(2));
        // The report is spooled before the send starts: a launcher that ends now loses nothing.
        ASSERT_TRUE(WaitUntilSpooled(settings, 2));
    }
    // Sending and closing returned without waiting for the service (a loose bound: only a hang fails).
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(4000));
    EXPECT_EQ(Numbers(SpoolOf(settings)).size(), 2u);
}

TEST(FleetReports, WithoutAUrlNothingIsSentOrWritten) {
    TempFolder folder;
    TFleetReports reports(Settings(L"", folder));
    EXPECT_FALSE(reports.Enabled());
    reports.Send(Numbered(1));
    EXPECT_TRUE(reports.Flush(1000));
    EXPECT_FALSE(PathExists(folder / L"Aurevia"));
}

namespace {

const std::string kFormatsHeader = "Aurevia-Report-Formats: aurevia-report/1, aurevia-report/2\r\n";

// A report with something of format /2 to tell.
TFleetReport WithStagingFacts(int ANumber) {
    TFleetReport report = Numbered(ANumber);
    report.StoreBytes = 80000;
    report.WireBytes = 1200;
    report.FilesPatched = 2;
    report.Staged = {5, "2026-12-10T08:00:00-03:00"};
    return report;
}

std::vector<std::string> Formats(const std::vector<ReceivedRequest>& ARequests) {
    std::vector<std::string> formats;
    for (const ReceivedRequest& request : ARequests) {
        rapidjson::Document body;
        body.Parse(request.body.c_str(), request.body.size());
        for (const auto& report : body.GetArray()) {
            std::string format = report["format"].GetString();
            // /1 exactly: not one member that a service in the field would refuse.
            for (const char* member : {"staged", "staged_at", "store_bytes", "wire_bytes", "files_patched"})
                if (report.HasMember(member)) format += "+" + std::string(member);
            formats.push_back(format);
        }
    }
    return formats;
}

}  // namespace

TEST(FleetReports, FormatTwoGoesOnlyToAServiceThatSaidItTakesIt) {
    TempFolder folder;
    {
        // A service that takes /2: the first batch, before its answer, goes as /1.
        ScriptedServer server;
        server.On("/report", ScriptedServer::Response("HTTP/1.1 200 OK", kFormatsHeader, "{\"accepted\":1}"));
        const TFleetSettings settings = Settings(server.BaseURL(), folder);
        TFleetReports reports(settings);
        reports.Send(WithStagingFacts(1));
        ASSERT_TRUE(reports.Flush(10000));
        reports.Send(WithStagingFacts(2));
        ASSERT_TRUE(reports.Flush(10000));
        const std::vector<ReceivedRequest> requests = server.Requests();
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(Formats({requests[0]}), std::vector<std::string>{"aurevia-report/1"});
        EXPECT_EQ(Formats({requests[1]}),
                  std::vector<std::string>{
                      "aurevia-report/2+staged+staged_at+store_bytes+wire_bytes+files_patched"});
        rapidjson::Document second;
        second.Parse(requests[1].body.c_str(), requests[1].body.size());
        EXPECT_EQ(second[0]["store_bytes"].GetUint64(), 80000u);
        EXPECT_EQ(second[0]["staged"].GetUint64(), 5u);
        EXPECT_EQ(second[0]["files_fetched"].GetInt(), 2);
    }
    {
        // The next launcher remembers /2, and meets the service put back to one without it, which
        // refuses /2 for ever: the batch goes again at once as /1 and is delivered, not dropped; the
        // reports after it are /1 from the start.
        ScriptedServer server;
        const std::string taken = ScriptedServer::Response("HTTP/1.1 200 OK", "", "{\"accepted\":1}");
        const std::string refused = ScriptedServer::Response("HTTP/1.1 400 Bad Request", "", "{}");
        server.On("/report", [&](SOCKET AConnection, const ReceivedRequest& ARequest) {
            ScriptedServer::Send(
                AConnection, ARequest.body.find("aurevia-report/2") != std::string::npos ? refused : taken);
        });
        const TFleetSettings settings = Settings(server.BaseURL(), folder);
        TFleetReports reports(settings);
        reports.Send(WithStagingFacts(3));
        ASSERT_TRUE(reports.Flush(10000));
        reports.Send(WithStagingFacts(4));
        ASSERT_TRUE(reports.Flush(10000));
        const std::vector<ReceivedRequest> requests = server.Requests();
        ASSERT_EQ(requests.size(), 3u);
        EXPECT_EQ(Formats(requests),
                  (std::vector<std::string>{"aurevia-report/2+staged+staged_at+store_bytes+"
                                            "wire_bytes+files_patched",
                                            "aurevia-report/1", "aurevia-report/1"}));
        EXPECT_EQ(Numbers(requests[1].body), std::vector<int>{3});
        EXPECT_EQ(Numbers(requests[2].body), std::vector<int>{4});
        EXPECT_FALSE(PathExists(settings.SpoolPath));
    }
}

// "staged_at" is when the release was first found complete, not when this launcher started: the time
// stays across launchers until another release is staged; a remembered time that is not one is left
// out rather than have the service refuse the batch for ever.
TEST(FleetReports, AStagedReleaseKeepsTheTimeItWasFirstFoundComplete) {
    ScriptedServer server;
    server.On("/report", ScriptedServer::Response("HTTP/1.1 200 OK", kFormatsHeader, "{\"accepted\":1}"));
    TempFolder folder;
    const TFleetSettings settings = Settings(server.BaseURL(), folder);
    WriteWholeFile(settings.SpoolPath + L".formats", "aurevia-report/1, aurevia-report/2\n");
    struct Launcher {
        TFleetStaged found;
        const char* note;  // written beside the spool before the launcher starts; null: left as it is
        std::optional<uint64_t> staged;
        const char* stagedAt;  // null: not sent
    };
    const Launcher launchers[] = {
        {{5, "2026-12-10T08:00:00-03:00"}, nullptr, 5, "2026-12-10T08:00:00-03:00"},
        {{5, "2026-12-11T09:00:00-03:00"}, nullptr, 5, "2026-12-10T08:00:00-03:00"},
        {{6, "2026-12-12T07:00:00-03:00"}, nullptr, 6, "2026-12-12T07:00:00-03:00"},
        {{}, nullptr, std::nullopt, nullptr},
        {{7, "2026-12-13T07:00:00-03:00"}, "7 2026-13-45T99:00:00Z\n", 7, nullptr},
    };
    size_t sent = 0;
    for (const Launcher& launcher : launchers) {
        if (launcher.note) WriteWholeFile(settings.SpoolPath + L".staged", launcher.note);
        TFleetReports reports(settings);
        reports.SetStaged(launcher.found);
        TFleetReport report = Numbered(static_cast<int>(sent));
        report.WireBytes = 0;
        reports.Send(report);
        ASSERT_TRUE(reports.Flush(10000));
        const std::vector<ReceivedRequest> requests = server.Requests();
        ASSERT_EQ(requests.size(), ++sent);
        rapidjson::Document body;
        body.Parse(requests.back().body.c_str(), requests.back().body.size());
        const auto& r = body[0];
        SCOPED_TRACE(requests.back().body);
        EXPECT_STREQ(r["format"].GetString(), "aurevia-report/2");
        EXPECT_EQ(r.HasMember("staged") ? std::optional<uint64_t>(r["staged"].GetUint64()) : std::nullopt,
                  launcher.staged);
        EXPECT_EQ(r.HasMember("staged_at") ? std::string(r["staged_at"].GetString()) : std::string("-"),
                  launcher.stagedAt ? launcher.stagedAt : "-");
    }
}
