// What a hostile or broken server can do to one update through the service source: each row scripts
// a server that sends too much, too slowly or nonsense, and the update must fail with its message
// within a bounded time, keeping nothing unbounded in memory.
#include <gtest/gtest.h>
#include <windows.h>
// after windows.h
#include <psapi.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "client_test_support.h"
#include "support/scripted_server.h"
#include "support/test_files.h"
#include "update/transport/request_retries.h"
#include "update/stream/fetch_observer.h"
#include "update/stream/byte_sink.h"
#include "update/source/service_source.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Limits short enough for a test: a 1 MB listing, 1 KB within 1 s, a 4 s deadline.
TTransferLimits TestLimits() {
    TTransferLimits limits;
    limits.ListingBytes = 1u << 20;
    limits.MinBytes = 1024;
    limits.MinWindowMs = 1000;
    limits.DeadlineMs = 4000;
    return limits;
}

std::string Head(const std::string& status, const std::string& headers) {
    return "HTTP/1.1 " + status + "\r\n" + headers + "Connection: close\r\n\r\n";
}

// Sends `head`, then `count` bytes one every `gap`, stopping early when the peer has gone.
void Trickle(SOCKET connection, const std::string& head, int count, std::chrono::milliseconds gap) {
    ScriptedServer::Send(connection, head);
    for (int i = 0; i < count; ++i) {
        std::this_thread::sleep_for(gap);
        if (send(connection, "x", 1, 0) != 1) return;
    }
}

size_t PeakWorkingSetMB() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    return counters.PeakWorkingSetSize >> 20;
}

struct HostileCase {
    const char* name;
    const char* path;  // "/folderlist": the listing; "/download": a fetch
    ScriptedServer::Reply reply;
    const char* message;  // a part of the failure's message
    TErrorCategory category;
    TErrorCode code;  // as raised: what the log and the fleet view are told besides the text
};

class HostileServer : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileServer, FailsTheUpdateWithItsMessageInBoundedTimeAndMemory) {
    const HostileCase& row = GetParam();
    ScriptedServer server;
    server.On(row.path, row.reply);
    TServiceSource source(server.BaseURL(), TestLimits(), TRESTTimeouts{5000, 5000}, kQuickRetries);
    const auto start = Clock::now();
    TFailureInfo failure;
    try {
        if (std::string(row.path) == "/folderlist") {
            source.List();
        } else {
            TMemorySink sink(64u << 20, "too large");
            source.Fetch(L"a.dll", sink, nullptr);
        }
    } catch (...) {
        failure = FailureOf(std::current_exception());
    }
    const auto took = Clock::now() - start;
    const std::string& message = failure.Text;
    EXPECT_NE(message.find(row.message), std::string::npos) << message.substr(0, 400);
    EXPECT_EQ(ErrorCategoryName(failure.Category), ErrorCategoryName(row.category)) << message.substr(0, 400);
    EXPECT_EQ(ErrorCodeText(failure.Code), ErrorCodeText(row.code));
    // What reaches the error box and the log is a few hundred characters, whatever the body held.
    EXPECT_LE(Utf8ToWide(message).size(), 340u) << message.substr(0, 400);
    // Loose: only a hang fails here (the deadline is 4 s).
    EXPECT_LT(took, 12s);
    EXPECT_LT(PeakWorkingSetMB(), 400u);
}

const HostileCase kCases[] = {
    {"ListingAnnouncedPastTheCap", "/folderlist",
     [](SOCKET c, const ReceivedRequest&) {
         ScriptedServer::SendWithoutEnd(
             c, Head("200 OK", "Content-Type: application/json\r\nContent-Length: 314572800\r\n"),
             300u << 20);
     },
     "passa de 1 MB", TErrorCategory::TooLarge, TErrorCode{}},
    {"ListingWithoutLengthPastTheCap", "/folderlist",
     [](SOCKET c, const ReceivedRequest&) {
         ScriptedServer::SendWithoutEnd(c, Head("200 OK", "Content-Type: application/json\r\n"), 300u << 20);
     },
     "nenhum arquivo foi baixado", TErrorCategory::TooLarge, TErrorCode{}},
    {"ListingThatTrickles", "/folderlist",
     [](SOCKET c, const ReceivedRequest&) {
         Trickle(c, Head("200 OK", "Content-Type: application/json\r\nContent-Length: 100000\r\n"), 100,
                 100ms);
     },
     "menos de 1024 bytes em 1 s", TErrorCategory::Timeout, WinHttpCode(12002)},
    {"ListingHeadThatTrickles", "/folderlist",
     [](SOCKET c, const ReceivedRequest&) {
         ScriptedServer::Send(c, "HTTP/1.1 200 OK\r\nX-Slow: ");
         Trickle(c, "", 100, 100ms);
     },
     "não terminou em 4 s", TErrorCategory::Timeout, TErrorCode{}},
    {"DownloadThatTrickles", "/download",
     [](SOCKET c, const ReceivedRequest&) {
         Trickle(c, Head("200 OK", "Content-Length: 100000\r\n"), 100, 100ms);
     },
     "menos de 1024 bytes em 1 s", TErrorCategory::Timeout, WinHttpCode(12002)},
    {"DownloadSlowButSteadyPastTheDeadline", "/download",
     [](SOCKET c, const ReceivedRequest&) {
         ScriptedServer::Send(c, Head("200 OK", "Content-Length: 1000000\r\n"));
         const std::string piece(2048, 'y');
         for (int i = 0; i < 100; ++i) {
             std::this_thread::sleep_for(100ms);
             if (send(c, piece.data(), static_cast<int>(piece.size()), 0) <= 0) return;
         }
     },
     "não terminou em 4 s", TErrorCategory::Timeout, TErrorCode{}},
    {"ErrorBodyOfMegabytes", "/download",
     [](SOCKET c, const ReceivedRequest&) {
         ScriptedServer::SendWithoutEnd(c, Head("404 Not Found", "Content-Type: text/plain\r\n"), 200u << 20);
     },
     "xxxxxxxxxx", TErrorCategory::Fetch, HttpStatusCode(404)},
    {"ListingErrorOfMegabytes", "/folderlist",
     [](SOCKET c, const ReceivedRequest&) {
         ScriptedServer::SendWithoutEnd(c, Head("500 Internal Server Error", "Content-Type: text/plain\r\n"),
                                        200u << 20);
     },
     "500 Internal Server Error", TErrorCategory::Server, HttpStatusCode(500)},
    {"NegativeContentLength", "/download",
     [](SOCKET c, const ReceivedRequest&) {
         ScriptedServer::Send(c, Head("200 OK", "Content-Length: -1\r\n") + "abc");
     },
     "REST request failed", TErrorCategory::Fetch, WinHttpCode(12152)},
    {"ContentLengthPast64Bits", "/download",
     [](SOCKET c, const ReceivedRequest&) {
         ScriptedServer::Send(c, Head("200 OK", "Content-Length: 18446744073709551616\r\n") + "abc");
     },
     "REST request failed", TErrorCategory::Fetch, WinHttpCode(12152)},
    {"SignedContentLength", "/download",
     [](SOCKET c, const ReceivedRequest&) {
         ScriptedServer::Send(c, Head("200 OK", "Content-Length: +3\r\n") + "abc");
     },
     "REST request failed", TErrorCategory::Fetch, WinHttpCode(12152)},
    {"AbsurdContentLengthOnAListing", "/folderlist",
     [](SOCKET c, const ReceivedRequest&) {
         ScriptedServer::Send(
             c,
             Head("200 OK", "Content-Type: application/json\r\nContent-Length: 99999999999999\r\n") + "[]");
     },
     "passa de 1 MB", TErrorCategory::TooLarge, TErrorCode{}},
};

INSTANTIATE_TEST_SUITE_P(Table, HostileServer, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The listing waits out a 503 on the UI thread: meanwhile the thread's window answers as at any
// other time, so Windows never marks it "Not responding" and the busy panel keeps moving.
TEST(RetryWait, KeepsTheWindowAnswering) {
    ScriptedServer server;
    std::atomic<int> listings{0};
    server.On("/folderlist", [&](SOCKET c, const ReceivedRequest&) {
        if (listings++ == 0)
            ScriptedServer::Send(c, ScriptedServer::Response("HTTP/1.1 503 Service Unavailable",
                                                             "Retry-After: 3\r\n", "busy"));
        else
            ScriptedServer::Send(
                c, ScriptedServer::Response("HTTP/1.1 200 OK", "Content-Type: application/json\r\n",
                                            R"([{"FileName":"a.dll","Age":"2022-01-10T14:32:05.000Z"}])"));
    });
    HWND window = CreateWindowExW(0, L"STATIC", L"menu", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr,
                                  nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    ShowWindow(window, SW_SHOW);
    std::atomic<int> answered{0}, late{0};
    std::thread asker([&] {
        std::this_thread::sleep_for(500ms);  // into the wait
        // Only while the wait lasts: the requests themselves block the thread as they always have.
        while (listings < 2) {
            const auto start = Clock::now();
            DWORD_PTR result = 0;
            RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE);
            const bool ok = SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 1000, &result) != 0;
            if (ok && Clock::now() - start < 1s)
                ++answered;
            else
                ++late;
            std::this_thread::sleep_for(200ms);
        }
    });
    TRESTRetries retries{3, 10, 10000};
    TServiceSource source(server.BaseURL(), TTransferLimits{}, TRESTTimeouts{}, retries);
    const auto start = Clock::now();
    const std::vector<TSourceFile> files = source.List();
    asker.join();
    DestroyWindow(window);
    EXPECT_GE(Clock::now() - start, 2900ms);  // the Retry-After was honoured
    ASSERT_EQ(files.size(), 1u);
    EXPECT_GE(answered.load(), 5);
    EXPECT_EQ(late.load(), 0);
}

// The user closes the launcher while the listing waits on the UI thread: for a head that trickles
// (bounded only by the request's timeouts, a minute; it trickles for 7 s, which the server then
// waits out) or before another attempt at a busy service.
// The listing ends at once without asking again, and the quit request is still there for the
// launcher's own message loop.
struct QuitCase {
    const char* name;
    ScriptedServer::Reply reply;
};

const QuitCase kQuitCases[] = {
    {"TricklingHead",
     [](SOCKET c, const ReceivedRequest&) { Trickle(c, "HTTP/1.1 200 OK\r\nX-Slow: ", 70, 100ms); }},
    {"RetryWait",
     [](SOCKET c, const ReceivedRequest&) {
         ScriptedServer::Send(
             c, ScriptedServer::Response("HTTP/1.1 503 Service Unavailable", "Retry-After: 30\r\n", "busy"));
     }},
};

class QuitDuringListing : public ::testing::TestWithParam<QuitCase> {};

TEST_P(QuitDuringListing, EndsTheListingAtOnceAndKeepsTheQuit) {
    ScriptedServer server;
    server.On("/folderlist", GetParam().reply);
    // As the tray menu's quit item does: a quit request posted by a message the wait dispatches.
    const UINT_PTR timer = SetTimer(nullptr, 0, 1000, [](HWND, UINT, UINT_PTR AId, DWORD) {
        KillTimer(nullptr, AId);
        PostQuitMessage(7);
    });
    ASSERT_NE(timer, 0u);
    TServiceSource source(server.BaseURL(), TTransferLimits{}, TRESTTimeouts{}, TRESTRetries{3, 10, 60000});
    const auto start = Clock::now();
    try {
        source.List();
        ADD_FAILURE() << "the listing succeeded";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("fechado"), std::string::npos) << e.what();
        EXPECT_EQ(e.Category(), TErrorCategory::Other);
    }
    EXPECT_LT(Clock::now() - start, 5s);
    EXPECT_EQ(server.Requests().size(), 1u);
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << "the quit request was lost";
    EXPECT_EQ(msg.wParam, 7u);
}

INSTANTIATE_TEST_SUITE_P(Table, QuitDuringListing, ::testing::ValuesIn(kQuitCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
