// The client against a scripted server that is busy, drops connections and cuts bodies: what is
// asked again, how long it waits, how a cut download continues, and how a repeated listing is
// revalidated.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/string_convert.h"
#include "client_test_support.h"
#include "support/scripted_server.h"
#include "support/test_files.h"
#include "update/source/service_source.h"
#include "update/stream/byte_sink.h"
#include "update/transport/rest_client.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kList = R"([{"FileName":"a.dll","Age":"2022-01-10T14:32:05.000Z"}])";

std::string Json(const std::string& status, const std::string& body, const std::string& headers = "") {
    return ScriptedServer::Response("HTTP/1.1 " + status, headers + "Content-Type: application/json\r\n",
                                    body);
}

// Answers the n-th request (from 0) with what `script(n, request, connection)` sends.
ScriptedServer::Reply Counted(std::function<void(int, SOCKET, const ReceivedRequest&)> script) {
    auto count = std::make_shared<std::atomic<int>>(0);
    return [count, script](SOCKET connection, const ReceivedRequest& request) {
        script((*count)++, connection, request);
    };
}

size_t RequestsTo(const ScriptedServer& server, const std::string& path) {
    size_t n = 0;
    for (const auto& r : server.Requests()) n += r.Target().starts_with(path);
    return n;
}

using Script = std::function<void(int n, SOCKET, const ReceivedRequest&, bool list)>;

// A listing and a download against `server`, whose /folderlist and /download answer their n-th
// request (from 0) as `script` says; both must come through.
void ExpectBothSucceed(ScriptedServer& server, const Script& script,
                       const TRESTRetries& retries = kQuickRetries) {
    TempFolder local;
    server.On("/folderlist",
              Counted([script](int n, SOCKET c, const ReceivedRequest& r) { script(n, c, r, true); }));
    server.On("/download",
              Counted([script](int n, SOCKET c, const ReceivedRequest& r) { script(n, c, r, false); }));
    TRESTClientFileList list(server.BaseURL());
    list.SetRetries(retries);
    EXPECT_EQ(RaisedMessage([&] { EXPECT_TRUE(list.Execute(L"\\", L"*.*", true)); }), "");
    EXPECT_EQ(list.Count(), 1);
    TRESTClientDownload download(server.BaseURL());
    download.SetRetries(retries);
    EXPECT_TRUE(download.Download(L"a.dll", local / L"a.dll")) << WideToUtf8(download.Error());
    EXPECT_EQ(ReadWholeFile(local / L"a.dll"), "content");
}

void SendSuccess(SOCKET connection, bool list) {
    ScriptedServer::Send(connection, list ? Json("200 OK", kList)
                                          : ScriptedServer::Response("HTTP/1.1 200 OK", "", "content"));
}

TEST(Retries, BusyAnswersAndBrokenConnectionsAreAskedAgain) {
    const auto date = [] {
        // An HTTP date one second ahead is a Retry-After of about a second.
        const std::time_t t = std::time(nullptr) + 1;
        char text[64];
        std::strftime(text, sizeof(text), "%a, %d %b %Y %H:%M:%S GMT", std::gmtime(&t));
        return std::string(text);
    }();
    const struct {
        const char* name;
        std::function<void(SOCKET)> failure;
    } cases[] = {
        {"503 with Retry-After in seconds",
         [](SOCKET c) {
             ScriptedServer::Send(c, ScriptedServer::Response("HTTP/1.1 503 Service Unavailable",
                                                              "Retry-After: 0\r\n", "busy"));
         }},
        {"429 with Retry-After as a date",
         [date](SOCKET c) {
             ScriptedServer::Send(
                 c, Json("429 Too Many Requests", R"({"Status":429})", "Retry-After: " + date + "\r\n"));
         }},
        {"503 without Retry-After",
         [](SOCKET c) { ScriptedServer::Send(c, ScriptedServer::Response("HTTP/1.1 503 Busy", "", "")); }},
        {"reset before the answer", [](SOCKET c) { ScriptedServer::Reset(c); }},
        {"closed before the answer", [](SOCKET) {}},
        {"reset in the body",
         [](SOCKET c) {
             ScriptedServer::SendCut(c, Json("200 OK", kList + std::string(5000, ' ')), 100);
             ScriptedServer::Reset(c);
         }},
        {"closed in the body",
         [](SOCKET c) { ScriptedServer::SendCut(c, Json("200 OK", kList + std::string(5000, ' ')), 100); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server;
        ExpectBothSucceed(server, [&c](int n, SOCKET connection, const ReceivedRequest&, bool list) {
            if (n < 2)
                c.failure(connection);
            else
                SendSuccess(connection, list);
        });
        EXPECT_EQ(RequestsTo(server, "/folderlist"), 3u);
        EXPECT_EQ(RequestsTo(server, "/download"), 3u);
    }
}

TEST(Retries, TheWaitHonoursRetryAfterPlusJitterWithinItsStep) {
    ScriptedServer server;
    const auto start = Clock::now();
    ExpectBothSucceed(server,
                      [](int n, SOCKET connection, const ReceivedRequest&, bool list) {
                          if (n == 0)
                              ScriptedServer::Send(
                                  connection, ScriptedServer::Response("HTTP/1.1 503 Service Unavailable",
                                                                       "Retry-After: 1\r\n", ""));
                          else
                              SendSuccess(connection, list);
                      },
                      {3, 400, 5000});
    // Two waits of 1 s plus at most 200 ms each.
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, 2000ms);
    EXPECT_LT(elapsed, 8000ms);
}

TEST(Retries, WhenTheyRunOutTheLastAnswerIsReportedAsBefore) {
    ScriptedServer server_;
    TempFolder local_;
    server_.On("/folderlist", Json("429 Too Many Requests", R"({"Status":429,"Error":"busy"})"));
    server_.On("/download", ScriptedServer::Response("HTTP/1.1 503 Service Unavailable", "", "busy"));
    TRESTClientFileList list(server_.BaseURL());
    list.SetRetries(kQuickRetries);
    EXPECT_FALSE(list.Execute(L"\\", L"*.*", true));  // a refusal with the service's record
    EXPECT_EQ(list.Error()->Status(), 429);
    TRESTClientDownload download(server_.BaseURL());
    download.SetRetries(kQuickRetries);
    WriteWholeFile(local_ / L"a.dll", "old");
    EXPECT_FALSE(download.Download(L"a.dll", local_ / L"a.dll"));
    EXPECT_EQ(download.Error(), L"HTTP/1.1 503 Service Unavailable");
    EXPECT_FALSE(PathExists(local_ / L"a.dll"));
    EXPECT_EQ(RequestsTo(server_, "/folderlist"), 1u + kQuickRetries.MaxRetries);
    EXPECT_EQ(RequestsTo(server_, "/download"), 1u + kQuickRetries.MaxRetries);
}

TEST(Retries, ARetryAfterPastTheBudgetFailsAtOnceAndTimeoutsAreNotRetried) {
    ScriptedServer server_;
    TempFolder local_;
    server_.On("/folderlist",
               ScriptedServer::Response("HTTP/1.1 503 Service Unavailable", "Retry-After: 3600\r\n", ""));
    TRESTClientFileList list(server_.BaseURL());
    list.SetRetries({3, 10, 10000});
    const auto start = Clock::now();
    EXPECT_EQ(RaisedMessage([&] { list.Execute(L"\\", L"*.*", true); }), "HTTP/1.1 503 Service Unavailable");
    EXPECT_LT(Clock::now() - start, 5000ms);
    EXPECT_EQ(RequestsTo(server_, "/folderlist"), 1u);

    // A request that timed out has cost its whole timeout already: it is not asked again.
    server_.On("/download", [&](SOCKET, const ReceivedRequest&) { server_.HoldUntilStopped(); });
    TRESTClientDownload download(server_.BaseURL());
    download.SetTimeouts({1000, 1000});
    download.SetRetries({3, 10, 10000});
    EXPECT_FALSE(download.Download(L"a.dll", local_ / L"a.dll"));
    EXPECT_EQ(download.Error(), L"REST request failed: The request has timed out.");
    EXPECT_EQ(RequestsTo(server_, "/download"), 1u);
}

TEST(RefusedConnections, AreAskedAgainUntilTheServiceIsUp) {
    TempFolder local;
    const unsigned short port = ClosedPort();
    std::unique_ptr<ScriptedServer> late;
    std::thread starter([&] {
        Sleep(300);
        late = std::make_unique<ScriptedServer>(port);
        late->On("/download", ScriptedServer::Response("HTTP/1.1 200 OK", "", "late"));
    });
    TRESTClientDownload client(L"http://127.0.0.1:" + std::to_wstring(port));
    client.SetRetries({10, 100, 10000});
    const bool fetched = client.Download(L"a.dll", local / L"a.dll");
    starter.join();
    EXPECT_TRUE(fetched) << WideToUtf8(client.Error());
    EXPECT_EQ(ReadWholeFile(local / L"a.dll"), "late");
}

// ---------------------------------------------------------------------------------------------

// Sends the head of `response` and `bodyBytes` bytes of its body.
void SendHeadAndPart(SOCKET connection, const std::string& response, size_t bodyBytes) {
    ScriptedServer::SendCut(connection, response, response.find("\r\n\r\n") + 4 + bodyBytes);
}

TEST(Resume, ACutDownloadContinuesWhereItStoppedWhenTheServerAllowsIt) {
    TempFolder local;
    const std::string v1 = PatternedContent(200000);
    const std::string v2 = PatternedContent(150000) + "v2";
    const size_t cut = 70000;  // bytes of the first body that get through
    const struct {
        const char* name;
        std::string firstHeaders;   // of the first, cut answer (besides its length)
        bool reset;                 // the cut is a reset rather than a close
        std::string expectedRange;  // of the second request ("" for none)
        std::string expectedIfRange;
        std::string secondETag;  // what the server serves by then ("" to honour the If-Range date)
        std::string expected;    // the file at the end
        std::vector<uint64_t> begins;
    } cases[] = {
        {"ETag and byte ranges",
         "Accept-Ranges: bytes\r\nETag: \"v1\"\r\n",
         false,
         "bytes=70000-",
         "\"v1\"",
         "\"v1\"",
         v1,
         {0, cut}},
        {"a Last-Modified date a second before the Date",
         "Accept-Ranges: bytes\r\nLast-Modified: Sun, 06 Nov 1994 08:49:36 GMT\r\n"
         "Date: Sun, 06 Nov 1994 08:49:37 GMT\r\n",
         false,
         "bytes=70000-",
         "Sun, 06 Nov 1994 08:49:36 GMT",
         "",
         v1,
         {0, cut}},
        {"the file changed meanwhile: starts again",
         "Accept-Ranges: bytes\r\nETag: \"v1\"\r\n",
         false,
         "bytes=70000-",
         "\"v1\"",
         "\"v2\"",
         v2,
         {0, 0}},
        {"no byte ranges: starts again", "ETag: \"v1\"\r\n", false, "", "", "\"v1\"", v1, {0, 0}},
        {"a weak ETag: starts again",
         "Accept-Ranges: bytes\r\nETag: W/\"v1\"\r\n",
         false,
         "",
         "",
         "\"v1\"",
         v1,
         {0, 0}},
        // What had arrived before a reset (Wine drops what was still unread): the range starts there.
        {"cut by a reset", "Accept-Ranges: bytes\r\nETag: \"v1\"\r\n", true, "*", "*", "\"v1\"", v1, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server;
        server.On(
            "/download", Counted([&](int n, SOCKET connection, const ReceivedRequest& request) {
                if (n == 0) {
                    SendHeadAndPart(connection,
                                    ScriptedServer::Response("HTTP/1.1 200 OK", c.firstHeaders, v1), cut);
                    if (c.reset) {
                        Sleep(200);
                        ScriptedServer::Reset(connection);
                    }
                } else if (c.secondETag.empty()) {
                    ScriptedServer::Send(
                        connection, ScriptedServer::RangedResponse(request, v1, request.Header("If-Range")));
                } else {
                    ScriptedServer::Send(connection,
                                         ScriptedServer::RangedResponse(
                                             request, c.secondETag == "\"v1\"" ? v1 : v2, c.secondETag));
                }
            }));
        RecordingObserver observer;
        TRESTClientDownload client(server.BaseURL());
        client.SetRetries(kQuickRetries);
        ASSERT_TRUE(client.Download(L"a.dll", local / L"a.dll", &observer)) << WideToUtf8(client.Error());
        EXPECT_TRUE(ReadWholeFile(local / L"a.dll") == c.expected);
        EXPECT_TRUE(observer.seen == c.expected);
        EXPECT_EQ(observer.totals.back(), c.expected.size());
        const auto requests = server.Requests();
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(requests[0].Header("Range"), "");
        ASSERT_EQ(observer.begins.size(), 2u);
        if (c.expectedRange == "*") {
            const uint64_t resumedAt = observer.begins[1];
            EXPECT_EQ(requests[1].Header("Range"),
                      resumedAt ? "bytes=" + std::to_string(resumedAt) + "-" : "");
            EXPECT_EQ(requests[1].Header("If-Range"), resumedAt ? "\"v1\"" : "");
        } else {
            EXPECT_EQ(observer.begins, c.begins);
            EXPECT_EQ(requests[1].Header("Range"), c.expectedRange);
            EXPECT_EQ(requests[1].Header("If-Range"), c.expectedIfRange);
        }
    }
}

TEST(Resume, APartialAnswerThatIsNotAllOfTheRestStartsAgain) {
    const std::string content = PatternedContent(100000);
    const std::string headers = "Accept-Ranges: bytes\r\nETag: \"v1\"\r\n";
    const struct {
        const char* name;
        size_t first, last;
        const char* complete;
    } cases[] = {
        {"from another byte", 10, 99999, "100000"},
        {"ending early", 1000, 49999, "100000"},
        {"of an unknown length", 1000, 99999, "*"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder local;
        ScriptedServer server;
        server.On(
            "/download", Counted([&](int n, SOCKET connection, const ReceivedRequest& request) {
                if (n == 0) {
                    SendHeadAndPart(connection, ScriptedServer::Response("HTTP/1.1 200 OK", headers, content),
                                    1000);
                } else if (n == 1) {
                    ScriptedServer::Send(
                        connection,
                        ScriptedServer::Response("HTTP/1.1 206 Partial Content",
                                                 headers + "Content-Range: bytes " + std::to_string(c.first) +
                                                     "-" + std::to_string(c.last) + "/" + c.complete + "\r\n",
                                                 content.substr(c.first, c.last + 1 - c.first)));
                } else {
                    ScriptedServer::Send(connection,
                                         ScriptedServer::RangedResponse(request, content, "\"v1\""));
                }
            }));
        RecordingObserver observer;
        TRESTClientDownload client(server.BaseURL());
        client.SetRetries(kQuickRetries);
        ASSERT_TRUE(client.Download(L"a.dll", local / L"a.dll", &observer)) << WideToUtf8(client.Error());
        EXPECT_TRUE(ReadWholeFile(local / L"a.dll") == content);
        EXPECT_EQ(observer.begins, (std::vector<uint64_t>{0, 0}));
        const auto requests = server.Requests();
        ASSERT_EQ(requests.size(), 3u);
        EXPECT_EQ(requests[1].Header("Range"), "bytes=1000-");
        EXPECT_EQ(requests[2].Header("Range"), "");
    }
}

// An object named by its SHA-256 cannot change under its name: a fetch that already holds its first
// bytes (a background fetch paused, or cut in an earlier run) asks for the rest with a bare Range;
// a server that sends the whole body instead starts it over at 0.
TEST(Resume, AnObjectHeldInPartContinuesWithABareRangeOrStartsOver) {
    const std::string content = PatternedContent(100000);
    constexpr uint64_t kHeld = 40000;
    struct HeldSink final : IByteSink {
        std::string bytes;
        std::vector<uint64_t> begins;
        void Begin(uint64_t AOffset, std::optional<uint64_t>) override {
            begins.push_back(AOffset);
            bytes.resize(static_cast<size_t>(AOffset));
        }
        void Write(const char* AData, size_t ASize) override { bytes.append(AData, ASize); }
    };
    for (const bool honoursRange : {true, false}) {
        SCOPED_TRACE(honoursRange ? "206 with the rest" : "200 with everything");
        ScriptedServer server;
        server.On("/download", [&](SOCKET connection, const ReceivedRequest&) {
            ScriptedServer::Send(connection,
                                 honoursRange
                                     ? ScriptedServer::Response("HTTP/1.1 206 Partial Content",
                                                                "Content-Range: bytes 40000-99999/100000\r\n",
                                                                content.substr(kHeld))
                                     : ScriptedServer::Response("HTTP/1.1 200 OK", "", content));
        });
        HeldSink sink;
        sink.bytes = content.substr(0, kHeld);
        TServiceSource source(server.BaseURL(), TTransferLimits{}, TRESTTimeouts{}, kQuickRetries);
        source.FetchFrom(L"aurevia-objects\\ab\\object", kHeld, sink, nullptr);
        EXPECT_TRUE(sink.bytes == content);
        EXPECT_EQ(sink.begins, std::vector<uint64_t>{honoursRange ? kHeld : 0});
        const auto requests = server.Requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].Header("Range"), "bytes=40000-");
        EXPECT_EQ(requests[0].Header("If-Range"), "");
    }
}

TEST(Resume, ABodyCutEveryTimeFailsAsBeforeAndLeavesNoFile) {
    TempFolder local;
    const std::string content = PatternedContent(100000);
    ScriptedServer server;
    server.On("/download", [&](SOCKET connection, const ReceivedRequest& request) {
        const std::string answer = ScriptedServer::RangedResponse(request, content, "\"v1\"");
        SendHeadAndPart(connection, answer, 100);
    });
    RecordingObserver observer;
    TRESTClientDownload client(server.BaseURL());
    client.SetRetries(kQuickRetries);
    WriteWholeFile(local / L"a.dll", "old");
    EXPECT_FALSE(client.Download(L"a.dll", local / L"a.dll", &observer));
    EXPECT_TRUE(client.Error().starts_with(L"REST request failed: ")) << WideToUtf8(client.Error());
    EXPECT_FALSE(PathExists(local / L"a.dll"));
    // Each attempt continued the last: 100 more bytes each time, all seen in order.
    EXPECT_EQ(observer.begins, (std::vector<uint64_t>{0, 100, 200, 300}));
    EXPECT_TRUE(observer.seen == content.substr(0, 400));
}

// ---------------------------------------------------------------------------------------------

TEST(RepeatedListing, IsRevalidatedWithItsETagAndAnUnchangedOneIsNotSentAgain) {
    ScriptedServer server;
    std::string etag = "\"L1\"";
    std::string body = kList;
    server.On("/folderlist", [&](SOCKET connection, const ReceivedRequest& request) {
        if (request.Header("If-None-Match") == etag)
            ScriptedServer::Send(connection, ScriptedServer::Response("HTTP/1.1 304 Not Modified",
                                                                      "ETag: " + etag + "\r\n", ""));
        else
            ScriptedServer::Send(connection, Json("200 OK", body, "ETag: " + etag + "\r\n"));
    });
    TRESTClientFileList client(server.BaseURL());
    ASSERT_TRUE(client.Execute(L"\\", L"*.*", true));
    ASSERT_EQ(client.Count(), 1);
    // A new client of this process: the listing comes from the 304, records and all.
    TRESTClientFileList again(server.BaseURL());
    ASSERT_TRUE(again.Execute(L"\\", L"*.*", true));
    ASSERT_EQ(again.Count(), 1);
    EXPECT_EQ(again.GetItem(0)->FileName(), L"a.dll");
    EXPECT_EQ(again.GetItem(0)->Age(), client.GetItem(0)->Age());

    etag = "\"L2\"";
    body = R"([{"FileName":"a.dll"},{"FileName":"b.dll"}])";
    ASSERT_TRUE(again.Execute(L"\\", L"*.*", true));
    EXPECT_EQ(again.Count(), 2);

    // Another listing (another URL) sends no validator; a 304 to it is a refusal as before.
    server.On("/folderlist", ScriptedServer::Response("HTTP/1.1 304 Not Modified", "", ""));
    EXPECT_EQ(RaisedMessage([&] { again.Execute(L"Relatorio", L"*.*", true); }),
              "The input value is not a valid Object");
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].Header("If-None-Match"), "");
    EXPECT_EQ(requests[1].Header("If-None-Match"), "\"L1\"");
    EXPECT_EQ(requests[2].Header("If-None-Match"), "\"L1\"");
    EXPECT_EQ(requests[3].Header("If-None-Match"), "");
}

}  // namespace
