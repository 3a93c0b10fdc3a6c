// The reason a failed update reaches the fleet view with, from real failures: each row makes the
// client or the disk fail as it does on a workstation (a scripted server that is too slow, too big or
// broken, a disk that is full), hands the failure to the update's report as the updater does, and
// reads the outcome the fleet view's sender makes its report of. The texts are
// those the launcher raises (Portuguese) or the system's (in the workstation's language): only the
// category and the code may decide.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "base/handles.h"
#include "base/string_convert.h"
#include "launcher/fleet/fleet_update_observer.h"
#include "support/scripted_server.h"
#include "update/report/update_report.h"
#include "update/source/service_source.h"
#include "update/stream/byte_sink.h"

namespace {

using namespace std::chrono_literals;

// Keeps every outcome the report tells; connected for one test.
class TCapturedOutcomes final : public IUpdateOutcomeObserver {
  public:
    void UpdateEnded(const TUpdateOutcome& AOutcome) noexcept override { outcomes.push_back(AOutcome); }
    std::vector<TUpdateOutcome> outcomes;
};

std::string Head(const std::string& status, const std::string& headers) {
    return "HTTP/1.1 " + status + "\r\n" + headers + "Connection: close\r\n\r\n";
}

// Sends `head`, then one byte every 100 ms, until the peer has gone or 50 went out.
void Trickle(SOCKET connection, const std::string& head) {
    ScriptedServer::Send(connection, head);
    for (int i = 0; i < 50; ++i) {
        std::this_thread::sleep_for(100ms);
        if (send(connection, "x", 1, 0) != 1) return;
    }
}

// Limits of a test: a 1 MB listing, 1 KB within 1 s, no deadline unless a row sets one.
TTransferLimits Limits(DWORD ADeadlineMs = 0) {
    TTransferLimits limits;
    limits.ListingBytes = 1u << 20;
    limits.MinBytes = 1024;
    limits.MinWindowMs = 1000;
    limits.DeadlineMs = ADeadlineMs;
    return limits;
}

constexpr TRESTTimeouts kShortTimeouts{1000, 1000};
constexpr TRESTRetries kNoRetries{0, 10, 0};

// What the failure is made of, and when in the update it happens.
enum class TPhase { Listing, Fetch };

struct TReasonRow {
    const char* name;
    TPhase phase;
    // Makes the real failure; the scripted server's base URL is given.
    std::function<void(ScriptedServer&)> fail;
    const char* text;  // a part of the message as raised
    TErrorCategory category;
    TErrorCode code;  // TCodeSystem::None: no code; Value 0: any code of that system
    const char* fleetReason;
};

void ListFrom(ScriptedServer& AServer, DWORD ADeadlineMs = 0) {
    TServiceSource(AServer.BaseURL(), Limits(ADeadlineMs), kShortTimeouts, kNoRetries).List();
}

void FetchFrom(ScriptedServer& AServer) {
    TMemorySink sink(64u << 20, "larger than 64 MB");
    TServiceSource(AServer.BaseURL(), Limits(), kShortTimeouts, kNoRetries).Fetch(L"a.dll", sink, nullptr);
}

const TReasonRow kRows[] = {
    // The update's deadline passes while the head of the listing's answer trickles in.
    {"Deadline",
     TPhase::Listing,
     [](ScriptedServer& server) {
         server.On("/folderlist",
                   [](SOCKET c, const ReceivedRequest&) { Trickle(c, "HTTP/1.1 200 OK\r\nX-Slow: "); });
         ListFrom(server, 1000);
     },
     "não terminou em 1 s",
     TErrorCategory::Timeout,
     {},
     "timeout"},
    // No deadline: the head's own bound (the connect and response timeouts) ends it.
    {"TricklingHead", TPhase::Listing,
     [](ScriptedServer& server) {
         server.On("/folderlist",
                   [](SOCKET c, const ReceivedRequest&) { Trickle(c, "HTTP/1.1 200 OK\r\nX-Slow: "); });
         ListFrom(server);
     },
     "REST request failed: ", TErrorCategory::Timeout, WinHttpCode(12002), "timeout"},
    {"TricklingBody", TPhase::Fetch,
     [](ScriptedServer& server) {
         server.On("/download", [](SOCKET c, const ReceivedRequest&) {
             Trickle(c, Head("200 OK", "Content-Length: 100000\r\n"));
         });
         FetchFrom(server);
     },
     "o servidor enviou menos de 1024 bytes em 1 s", TErrorCategory::Timeout, WinHttpCode(12002), "timeout"},
    {"OversizedListing",
     TPhase::Listing,
     [](ScriptedServer& server) {
         server.On("/folderlist", [](SOCKET c, const ReceivedRequest&) {
             ScriptedServer::SendWithoutEnd(
                 c, Head("200 OK", "Content-Type: application/json\r\nContent-Length: 314572800\r\n"),
                 300u << 20);
         });
         ListFrom(server);
     },
     "A lista de arquivos do servidor passa de 1 MB",
     TErrorCategory::TooLarge,
     {},
     "too_large"},
    {"ListingServerError", TPhase::Listing,
     [](ScriptedServer& server) {
         server.On("/folderlist",
                   ScriptedServer::Response("HTTP/1.1 503 Service Unavailable", "", "busy for good"));
         ListFrom(server);
     },
     "503 Service Unavailable", TErrorCategory::Server, HttpStatusCode(503), "server"},
    {"DownloadServerError", TPhase::Fetch,
     [](ScriptedServer& server) {
         server.On("/download", ScriptedServer::Response("HTTP/1.1 502 Bad Gateway", "", "no upstream"));
         FetchFrom(server);
     },
     "502 Bad Gateway", TErrorCategory::Server, HttpStatusCode(502), "server"},
    {"DownloadNotFound", TPhase::Fetch,
     [](ScriptedServer& server) {
         server.On("/download",
                   ScriptedServer::Response("HTTP/1.1 404 Not Found", "Content-Type: text/plain\r\n",
                                            "Arquivo não encontrado"));
         FetchFrom(server);
     },
     "Arquivo não encontrado", TErrorCategory::Fetch, HttpStatusCode(404), "fetch"},
    // Nothing listens: the same failure is the listing's or the fetch's by when it happens.
    {"ListingRefused", TPhase::Listing,
     [](ScriptedServer&) {
         TServiceSource(L"http://127.0.0.1:" + std::to_wstring(ClosedPort()), Limits(), kShortTimeouts,
                        kNoRetries)
             .List();
     },
     "REST request failed: ", TErrorCategory::Listing, WinHttpCode(0), "listing"},
    {"DownloadRefused", TPhase::Fetch,
     [](ScriptedServer&) {
         TMemorySink sink(1024, "larger than 1 KB");
         TServiceSource(L"http://127.0.0.1:" + std::to_wstring(ClosedPort()), Limits(), kShortTimeouts,
                        kNoRetries)
             .Fetch(L"a.dll", sink, nullptr);
     },
     "REST request failed: ", TErrorCategory::Fetch, WinHttpCode(0), "fetch"},
    // A fetch's body written onto a disk that is full: Wine maps /dev/full's ENOSPC to the code a
    // full NTFS volume gives. (The sink is written directly: a device cannot be cut back to a length
    // as a fetch's file is first.)
    {"DiskFull", TPhase::Fetch,
     [](ScriptedServer&) {
         unique_file full(CreateFileW(L"Z:\\dev\\full", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
         ASSERT_TRUE(full) << GetLastError();
         const std::string body(64 * 1024, 'a');
         TFileSink(full.get()).Write(body.data(), body.size());
     },
     "", TErrorCategory::Disk, Win32Code(ERROR_DISK_FULL), "disk"},
};

class FailureReason : public ::testing::TestWithParam<TReasonRow> {
  protected:
    void SetUp() override { SetUpdateOutcomeObserver(captured); }
    void TearDown() override { SetUpdateOutcomeObserver(nullptr); }
    std::shared_ptr<TCapturedOutcomes> captured = std::make_shared<TCapturedOutcomes>();
};

TEST_P(FailureReason, ComesFromTheFailuresCategoryAndCode) {
    const TReasonRow& row = GetParam();
    ScriptedServer server;
    std::exception_ptr raised;
    try {
        row.fail(server);
    } catch (...) {
        raised = std::current_exception();
    }
    ASSERT_TRUE(raised) << "nothing failed";
    const TFailureInfo failure = FailureOf(raised);
    EXPECT_NE(failure.Text.find(row.text), std::string::npos) << failure.Text;
    EXPECT_EQ(ErrorCategoryName(failure.Category), ErrorCategoryName(row.category)) << failure.Text;
    EXPECT_EQ(failure.Code.System, row.code.System) << ErrorCodeText(failure.Code);
    if (row.code.Value != 0) {
        EXPECT_EQ(failure.Code.Value, row.code.Value) << ErrorCodeText(failure.Code);
    }

    // As the updater hands it over: a listing's failure abandons the update, a fetch's ends that fetch.
    TUpdateReport report(L"source");
    report.SetModule(L"Admission.exe");
    if (row.phase == TPhase::Listing) {
        report.Abandoned(raised);
    } else {
        report.Listed(1, 1);
        TUpdateReport::TFetch(report, L"a.dll", false).Failed(raised);
        report.Completed();
    }
    ASSERT_EQ(captured->outcomes.size(), 1u);
    EXPECT_TRUE(FleetReportsUpdate(captured->outcomes.front()));
    const TFleetReport fleet = FleetReportOfUpdate(captured->outcomes.front());
    EXPECT_EQ(FleetResultName(fleet.Result), "failed");
    EXPECT_EQ(FleetReasonName(fleet.Reason), row.fleetReason) << fleet.Text;
    EXPECT_NE(fleet.Text.find(failure.Text), std::string::npos) << fleet.Text;
    if (row.phase == TPhase::Fetch) {
        EXPECT_TRUE(fleet.Text.starts_with("a.dll: ")) << fleet.Text;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, FailureReason, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

// Content that is not the signed one outweighs the failure that came first, and refusals of the
// release carry their own reasons.
TEST(UpdateOutcome, AlteredContentAndRefusalsHaveTheirOwnReasons) {
    auto captured = std::make_shared<TCapturedOutcomes>();
    SetUpdateOutcomeObserver(captured);
    {
        TUpdateReport report(L"source");
        report.SetModule(L"Admission.exe");
        report.Listed(2, 2);
        TUpdateReport::TFetch(report, L"a.dll", false)
            .Failed(std::make_exception_ptr(
                Error("tempo esgotado", TErrorCategory::Timeout, WinHttpCode(12002))));
        TUpdateReport::TFetch(report, L"b.dll", false)
            .Failed(std::make_exception_ptr(Error("b.dll: content differs", TErrorCategory::Altered)));
        report.Completed({}, 1);
    }
    for (const TRefusal refusal : {TRefusal::Expired, TRefusal::OlderRelease, TRefusal::BadSignature}) {
        TUpdateReport report(L"source");
        TVerificationReport verification;
        verification.Refusal = refusal;
        report.Completed(verification);
    }
    SetUpdateOutcomeObserver(nullptr);
    ASSERT_EQ(captured->outcomes.size(), 4u);
    const auto reason = [&](size_t i) {
        return FleetReasonName(FleetReportOfUpdate(captured->outcomes[i]).Reason);
    };
    const auto result = [&](size_t i) {
        return FleetResultName(FleetReportOfUpdate(captured->outcomes[i]).Result);
    };
    EXPECT_EQ(reason(0), "altered");
    EXPECT_EQ(result(0), "refused");
    EXPECT_EQ(captured->outcomes[0].Failure.Code.System, TCodeSystem::None);
    EXPECT_EQ(reason(1), "expired");
    EXPECT_EQ(reason(2), "replayed");
    EXPECT_EQ(reason(3), "signature");
    for (size_t i = 1; i < 4; ++i) EXPECT_EQ(result(i), "refused");
    EXPECT_EQ(FleetReportOfUpdate(captured->outcomes[1]).Event, TFleetEvent::Startup);
}

// The user closes the launcher during the update: the real quit of a listing that waits for a
// trickling head, and the same failure ending a fetch. That is not the workstation failing, and the
// fleet view hears nothing of it, unless a real failure came first.
TEST(UpdateOutcome, AnUpdateTheUserEndedByQuittingIsNotReportedAsAFailure) {
    ScriptedServer server;
    server.On("/folderlist",
              [](SOCKET c, const ReceivedRequest&) { Trickle(c, "HTTP/1.1 200 OK\r\nX-Slow: "); });
    const UINT_PTR timer = SetTimer(nullptr, 0, 300, [](HWND, UINT, UINT_PTR AId, DWORD) {
        KillTimer(nullptr, AId);
        PostQuitMessage(7);
    });
    ASSERT_NE(timer, 0u);
    std::exception_ptr quit;
    try {
        TServiceSource(server.BaseURL(), Limits(), TRESTTimeouts{}, kNoRetries).List();
    } catch (...) {
        quit = std::current_exception();
    }
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << "the quit request was lost";
    ASSERT_TRUE(quit) << "the listing ignored the quit";
    ASSERT_NE(FailureOf(quit).Text.find("fechado"), std::string::npos) << FailureOf(quit).Text;
    const auto timeout =
        std::make_exception_ptr(Error("tempo esgotado", TErrorCategory::Timeout, WinHttpCode(12002)));
    // Any other failure with no code of its own is still a failure ("other").
    const auto fault = std::make_exception_ptr(Error("falha", TErrorCategory::Other));

    auto captured = std::make_shared<TCapturedOutcomes>();
    SetUpdateOutcomeObserver(captured);
    TUpdateReport(L"source").Abandoned(quit);
    const auto fetches = [](std::vector<std::exception_ptr> AFailures) {
        TUpdateReport report(L"source");
        report.SetModule(L"Admission.exe");
        report.Listed(AFailures.size(), AFailures.size());
        for (const std::exception_ptr& failure : AFailures)
            TUpdateReport::TFetch(report, L"a.dll", false).Failed(failure);
        report.Completed();
    };
    fetches({quit});
    fetches({timeout, quit});
    fetches({fault});
    SetUpdateOutcomeObserver(nullptr);

    ASSERT_EQ(captured->outcomes.size(), 4u);
    EXPECT_FALSE(FleetReportsUpdate(captured->outcomes[0])) << "quit during the listing";
    EXPECT_FALSE(FleetReportsUpdate(captured->outcomes[1])) << "quit during a fetch";
    EXPECT_TRUE(FleetReportsUpdate(captured->outcomes[2])) << "a timeout, then the quit";
    EXPECT_EQ(FleetReasonName(FleetReportOfUpdate(captured->outcomes[2]).Reason), "timeout");
    EXPECT_TRUE(FleetReportsUpdate(captured->outcomes[3])) << "a fault of no known kind";
    EXPECT_EQ(FleetReasonName(FleetReportOfUpdate(captured->outcomes[3]).Reason), "other");
}

}  // namespace
