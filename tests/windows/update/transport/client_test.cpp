// The file service client on WinHTTP against real servers on loopback: the reference service for
// the real paths, the scripted server for the protocol's corners.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "base/date_time.h"
#include "base/error.h"
#include "base/string_convert.h"
#include "base/win32_error.h"
#include "client_test_support.h"
#include "support/scripted_server.h"
#include "support/test_files.h"
#include "update/transport/rest_client.h"

namespace fs = std::filesystem;

namespace {

std::string JsonResponse(const std::string& status, const std::string& body,
                         const std::string& contentType = "application/json") {
    return ScriptedServer::Response("HTTP/1.1 " + status, "Content-Type: " + contentType + "\r\n", body);
}

// ---------------------------------------------------------------------------------------------
// Against the reference service (started by the ctest fixture; its state folder comes in through
// AUREVIA_TEST_SERVICE_STATE as a Linux path, which Wine maps under Z:).

class ReferenceService : public testing::Test {
  protected:
    void SetUp() override {
        const fs::path stateFolder = FixtureFolder("AUREVIA_TEST_SERVICE_STATE");
        ASSERT_FALSE(stateFolder.empty()) << "run through ctest: the reference service is a ctest fixture";
        int port = 0;
        std::ifstream(stateFolder / L"port") >> port;
        ASSERT_GT(port, 0) << "the reference service did not write its port";
        baseURL_ = L"http://127.0.0.1:" + std::to_wstring(port);
        const auto* info = testing::UnitTest::GetInstance()->current_test_info();
        folder_ = Utf8ToWide(info->name());
        served_ = stateFolder / L"served" / folder_;
        fs::remove_all(served_);
        fs::create_directories(served_);
    }
    void TearDown() override { fs::remove_all(served_); }

    std::wstring Served(const std::wstring& name) const { return (served_ / name).wstring(); }

    std::wstring baseURL_, folder_;
    fs::path served_;
    TempFolder local_;
};

TEST_F(ReferenceService, ListsTheFilesUnderAFolderWithTheirLocalLastWriteTimes) {
    WriteWholeFile(Served(L"Admission.exe"), "MZ");
    WriteWholeFile(Served(L"Relatorio\\RptScheduling.rav"), "report");
    TRESTClientFileList client(baseURL_);
    ASSERT_TRUE(client.Execute(folder_, L"*.*", true));
    ASSERT_EQ(client.Count(), 2);
    EXPECT_EQ(client.GetItem(0)->FileName(), folder_ + L"\\Admission.exe");
    EXPECT_EQ(client.GetItem(1)->FileName(), folder_ + L"\\Relatorio\\RptScheduling.rav");
    // Ages equal to the local reading is what keeps a fetched file from being fetched again.
    EXPECT_EQ(client.GetItem(0)->Age(), AgeOf(Served(L"Admission.exe")));
    EXPECT_EQ(client.GetItem(1)->Age(), AgeOf(Served(L"Relatorio\\RptScheduling.rav")));
    EXPECT_EQ(client.GetItem(2), nullptr);
    EXPECT_EQ(client.GetItem(-1), nullptr);

    ASSERT_TRUE(client.Execute(folder_, L"*.rav", true));
    EXPECT_EQ(client.Count(), 1);
    ASSERT_TRUE(client.Execute(folder_, L"*.*", false));
    EXPECT_EQ(client.Count(), 1);
}

TEST_F(ReferenceService, AnUnknownFolderIsARefusalWithTheServicesRecord) {
    TRESTClientFileList client(baseURL_);
    EXPECT_FALSE(client.Execute(L"NoSuchFolder", L"*.*", true));
    EXPECT_EQ(client.Count(), 0);
    EXPECT_EQ(client.Error()->Status(), 404);
    EXPECT_EQ(client.Error()->Error(), L"Not Found");
}

TEST_F(ReferenceService, DownloadsNamesThatNeedEncodingByteForByte) {
    const std::wstring names[] = {
        L"Admission.exe", L"Relatorio\\Rpt Scheduling.rav", L"Prescri\u00e7\u00e3o.dll",
        L"a+b&c=d.txt",   L"Relatorio\\100%.rav",           L"it's (1).ini"};
    const std::string content = PatternedContent(300000);
    for (const auto& name : names) {
        SCOPED_TRACE(WideToUtf8(name));
        WriteWholeFile(Served(name), content + WideToUtf8(name));
        TRESTClientDownload client(baseURL_ + L"/");  // a trailing slash gives "//download"
        const std::wstring local = local_ / L"file.bin";
        EXPECT_TRUE(client.Download(folder_ + L"\\" + name, local));
        EXPECT_EQ(client.Error(), L"");
        EXPECT_EQ(ReadWholeFile(local), content + WideToUtf8(name));
    }
}

TEST_F(ReferenceService, AnEmptyFileDownloadsAsAnEmptyFile) {
    WriteWholeFile(Served(L"Empty.ini"), "");
    WriteWholeFile(local_ / L"Empty.ini", "previous");
    TRESTClientDownload client(baseURL_);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(client.Download(folder_ + L"\\Empty.ini", local_ / L"Empty.ini"));
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              std::chrono::milliseconds(900));  // not ended by a timeout
    EXPECT_EQ(ReadWholeFile(local_ / L"Empty.ini"), "");
}

TEST_F(ReferenceService, AMissingOrForbiddenFileLeavesNoLocalFileAndKeepsTheRefusal) {
    WriteWholeFile(local_ / L"old.bin", "old");
    TRESTClientDownload client(baseURL_);
    EXPECT_FALSE(client.Download(folder_ + L"\\Missing.dll", local_ / L"old.bin"));
    EXPECT_FALSE(PathExists(local_ / L"old.bin"));
    EXPECT_NE(client.Error().find(L"\"Status\":404"), std::wstring::npos) << WideToUtf8(client.Error());

    EXPECT_FALSE(client.Download(L"..\\port", local_ / L"port"));
    EXPECT_FALSE(PathExists(local_ / L"port"));
    EXPECT_NE(client.Error().find(L"\"Status\":403"), std::wstring::npos) << WideToUtf8(client.Error());
}

// ---------------------------------------------------------------------------------------------
// Against the scripted server.

class Scripted : public testing::Test {
  protected:
    ScriptedServer server_;
    TempFolder local_;
};

TEST_F(Scripted, RequestsCarryTheEncodedTargetsAndTheAcceptHeaders) {
    server_.On("/files/folderlist", JsonResponse("200 OK", "[]"));
    server_.On("/files//download", ScriptedServer::Response("HTTP/1.1 200 OK", "", "x"));
    TRESTClientFileList list(server_.BaseURL() + L"/files/");
    EXPECT_TRUE(list.Execute(L"\\", L"*.*", true));
    TRESTClientDownload download(server_.BaseURL() + L"/files/");
    EXPECT_TRUE(download.Download(L"Relatorio\\Rpt Agenda\u00e7*.rav", local_ / L"r.rav"));

    const auto requests = server_.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].requestLine, "GET /files/folderlist?folder=%5C&mask=*.*&recursive= HTTP/1.1");
    EXPECT_EQ(requests[1].requestLine,
              "GET /files//download?file=Relatorio%5CRpt%20Agenda%C3%A7%2A.rav HTTP/1.1");
    for (const auto& request : requests) {
        EXPECT_EQ(request.Header("Accept"), "application/json, text/plain; q=0.9, text/html;q=0.8,");
        EXPECT_EQ(request.Header("Accept-Charset"), "UTF-8, *;q=0.8");
        EXPECT_NE(request.Header("User-Agent"), "");
    }
}

TEST_F(Scripted, ListAnswersByStatusAndBody) {
    const struct {
        const char* name;
        std::string response;
        std::string raised;  // empty: no error; a trailing "*" matches a prefix
        bool result;
        int count, errorStatus;
    } cases[] = {
        {"404 with an error record",
         JsonResponse("404 Not Found", R"({"Error":"Not Found","Status":404,"Detail":"d"})"), "", false, 0,
         404},
        {"refusal whose record has no status", JsonResponse("400 Bad Request", R"({"Error":"odd"})"), "",
         true, 0, 0},
        {"404 with an HTML page",
         JsonResponse("404 Not Found", "<html><body>Not Found</body></html>", "text/html"),
         "The input value is not a valid Object", false, 0, 0},
        {"404 with an empty body", JsonResponse("404 Not Found", ""), "The input value is not a valid Object",
         false, 0, 0},
        {"503", JsonResponse("503 Service Unavailable", R"({"Status":503})"),
         "HTTP/1.1 503 Service Unavailable", false, 0, 0},
        {"500 over HTTP/1.0", ScriptedServer::Response("HTTP/1.0 500 Internal Server Error", "", ""),
         "HTTP/1.0 500 Internal Server Error", false, 0, 0},
        {"200 with an empty body", JsonResponse("200 OK", ""), "TFilesInfoDTOHelper.FromJSON", false, 0, 0},
        {"200 with an image type", JsonResponse("200 OK", "[]", "image/png"), "TFilesInfoDTOHelper.FromJSON",
         false, 0, 0},
        {"200 with a list",
         JsonResponse("200 OK", R"([{"FileName":"a.dll","Age":"2022-01-10T14:32:05.000Z"},{}])"), "", true, 2,
         0},
        {"200 cut mid-body",
         ScriptedServer::Response("HTTP/1.1 200 OK", "Content-Length: 5000\r\n", R"([{"FileName":"a.dll"},)"),
         "REST request failed: *", false, 0, 0},
        {"200 in Latin-1",
         JsonResponse("200 OK", "[{\"FileName\":\"Prescri\xe7\xe3o.dll\"}]",
                      "application/json; charset=ISO-8859-1"),
         "", true, 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server_.On("/folderlist", c.response);
        TRESTClientFileList client(server_.BaseURL());
        client.SetRetries(kQuickRetries);  // a 503 is retried before it is reported
        bool result = false;
        const std::string raised = RaisedMessage([&] { result = client.Execute(L"\\", L"*.*", true); });
        if (!c.raised.empty() && c.raised.back() == '*') {
            EXPECT_TRUE(raised.starts_with(c.raised.substr(0, c.raised.size() - 1))) << raised;
        } else {
            EXPECT_EQ(raised, c.raised);
        }
        if (c.raised.empty()) {
            EXPECT_EQ(result, c.result);
        }
        EXPECT_EQ(client.Count(), c.count);
        ASSERT_NE(client.Error(), nullptr);
        EXPECT_EQ(client.Error()->Status(), c.errorStatus);
    }
    TRESTClientFileList client(server_.BaseURL());
    server_.On("/folderlist", JsonResponse("200 OK", "[{\"FileName\":\"Prescri\xe7\xe3o.dll\"}]",
                                           "application/json; charset=ISO-8859-1"));
    client.Execute(L"", L"", false);
    EXPECT_EQ(client.GetItem(0)->FileName(), L"Prescri\u00e7\u00e3o.dll");
    EXPECT_EQ(client.GetItem(0)->Age(), 0.0);
}

TEST_F(Scripted, ARefusalStaysUntilTheNextRefusalAndEachRunStartsEmpty) {
    TRESTClientFileList client(server_.BaseURL());
    server_.On("/folderlist", JsonResponse("200 OK", R"([{"FileName":"a"},{"FileName":"b"}])"));
    EXPECT_TRUE(client.Execute(L"\\", L"*.*", true));
    EXPECT_EQ(client.Count(), 2);

    server_.On("/folderlist", JsonResponse("403 Forbidden", R"({"Status":403})"));
    EXPECT_FALSE(client.Execute(L"\\", L"*.*", true));
    EXPECT_EQ(client.Count(), 0);

    // Undecodable refusal: the record of the earlier refusal stays, valid.
    server_.On("/folderlist", JsonResponse("404 Not Found", "<html/>", "text/html"));
    EXPECT_EQ(RaisedMessage([&] { client.Execute(L"\\", L"*.*", true); }),
              "The input value is not a valid Object");
    EXPECT_EQ(client.Error()->Status(), 403);

    server_.On("/folderlist", JsonResponse("200 OK", R"([{"FileName":"c"}])"));
    EXPECT_FALSE(client.Execute(L"\\", L"*.*", true));
    ASSERT_EQ(client.Count(), 1);
    EXPECT_EQ(client.GetItem(0)->FileName(), L"c");

    // A bad second element keeps the first record.
    server_.On("/folderlist", JsonResponse("200 OK", R"([{"FileName":"d"}, 5])"));
    EXPECT_EQ(RaisedMessage([&] { client.Execute(L"\\", L"*.*", true); }),
              "The input value is not a valid Object");
    ASSERT_EQ(client.Count(), 2);
    EXPECT_EQ(client.GetItem(0)->FileName(), L"d");
    EXPECT_EQ(client.GetItem(1), nullptr);
}

TEST_F(Scripted, RedirectsAreFollowed) {
    server_.On("/folderlist",
               ScriptedServer::Response("HTTP/1.1 302 Found", "Location: /moved/folderlist\r\n", ""));
    server_.On("/moved/folderlist", JsonResponse("200 OK", R"([{"FileName":"a.dll"}])"));
    server_.On("/download",
               ScriptedServer::Response("HTTP/1.1 301 Moved Permanently", "Location: /moved/x\r\n", ""));
    server_.On("/moved/x", ScriptedServer::Response("HTTP/1.1 200 OK", "", "moved"));
    TRESTClientFileList list(server_.BaseURL());
    EXPECT_TRUE(list.Execute(L"\\", L"*.*", true));
    EXPECT_EQ(list.Count(), 1);
    TRESTClientDownload download(server_.BaseURL());
    EXPECT_TRUE(download.Download(L"a.dll", local_ / L"a.dll"));
    EXPECT_EQ(ReadWholeFile(local_ / L"a.dll"), "moved");
}

TEST_F(Scripted, DownloadOutcomesByAnswer) {
    const struct {
        const char* name;
        std::string response;
        bool result;
        std::string content;  // of the local file when result is true
        std::wstring error;   // FError afterwards; a trailing "*" matches a prefix
    } cases[] = {
        {"200", ScriptedServer::Response("HTTP/1.1 200 OK", "", "body"), true, "body", L""},
        {"200 empty", ScriptedServer::Response("HTTP/1.1 200 OK", "", ""), true, "", L""},
        {"200 without a length", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nuntil close", true,
         "until close", L""},
        {"404 empty", ScriptedServer::Response("HTTP/1.1 404 Not Found", "", ""), false, "", L"Not Found"},
        {"404 text", JsonResponse("404 Not Found", "n\xe3o h\xe1", "text/plain; charset=windows-1252"), false,
         "", L"n\u00e3o h\u00e1"},
        {"503", ScriptedServer::Response("HTTP/1.1 503 Service Unavailable", "", "busy"), false, "",
         L"HTTP/1.1 503 Service Unavailable"},
        {"cut mid-body",
         ScriptedServer::Response("HTTP/1.1 200 OK", "Content-Length: 100000\r\n", "only this"), false, "",
         L"REST request failed: *"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server_.On("/download", c.response);
        WriteWholeFile(local_ / L"target.dll", "previous content");
        TRESTClientDownload client(server_.BaseURL());
        client.SetRetries(kQuickRetries);  // a 503 and a cut body are retried before they are reported
        EXPECT_EQ(client.Download(L"target.dll", local_ / L"target.dll"), c.result);
        EXPECT_EQ(PathExists(local_ / L"target.dll"), c.result);
        if (c.result) {
            EXPECT_EQ(ReadWholeFile(local_ / L"target.dll"), c.content);
        }
        if (!c.error.empty() && c.error.back() == L'*') {
            EXPECT_EQ(client.Error().substr(0, c.error.size() - 1), c.error.substr(0, c.error.size() - 1));
            EXPECT_GT(client.Error().size(), c.error.size());  // the transport error's own text follows
        } else {
            EXPECT_EQ(client.Error(), c.error);
        }
    }
}

TEST_F(Scripted, TheLocalFileExistsUnsharedWhileTheRequestRuns) {
    const std::wstring local = local_ / L"held.dll";
    DWORD openError = 0;
    bool existed = false;
    server_.On("/download", [&](SOCKET connection, const ReceivedRequest&) {
        existed = PathExists(local);
        HANDLE h = CreateFileW(local.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        openError = h == INVALID_HANDLE_VALUE ? GetLastError() : 0;
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        ScriptedServer::Send(connection, ScriptedServer::Response("HTTP/1.1 200 OK", "", "x"));
    });
    TRESTClientDownload client(server_.BaseURL());
    EXPECT_TRUE(client.Download(L"held.dll", local));
    EXPECT_TRUE(existed);
    EXPECT_EQ(openError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
}

TEST_F(Scripted, TransportFailuresCarryTheirOwnText) {
    const std::wstring refused = L"http://127.0.0.1:" + std::to_wstring(ClosedPort());
    for (const std::wstring& base : {refused, std::wstring(L"   ")}) {
        TRESTClientFileList list(base);
        list.SetRetries(kQuickRetries);  // a refused connection is retried before it is reported
        const std::string message = RaisedMessage([&] { list.Execute(L"\\", L"*.*", true); });
        EXPECT_TRUE(message.starts_with("REST request failed: ")) << message;
        EXPECT_GT(message.size(), std::string("REST request failed: ").size()) << message;

        TRESTClientDownload download(base);
        download.SetRetries(kQuickRetries);
        EXPECT_FALSE(download.Download(L"a.dll", local_ / L"a.dll"));
        EXPECT_FALSE(PathExists(local_ / L"a.dll"));
        EXPECT_TRUE(download.Error().starts_with(L"REST request failed: ")) << WideToUtf8(download.Error());
    }
}

TEST_F(Scripted, AServerThatNeverAnswersFailsAfterTheResponseTimeout) {
    server_.On("/folderlist", [&](SOCKET, const ReceivedRequest&) { server_.HoldUntilStopped(); });
    TRESTClientFileList client(server_.BaseURL());
    client.SetTimeouts({2000, 2000});
    const auto start = std::chrono::steady_clock::now();
    const std::string message = RaisedMessage([&] { client.Execute(L"\\", L"*.*", true); });
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(message, "REST request failed: The request has timed out.");
    EXPECT_GE(elapsed, std::chrono::milliseconds(1500));
    EXPECT_LT(elapsed, std::chrono::seconds(15));
}

TEST_F(Scripted, ALocalFileThatCannotBeCreatedIsReportedOrRaised) {
    server_.On("/download", ScriptedServer::Response("HTTP/1.1 200 OK", "", "x"));
    TRESTClientDownload client(server_.BaseURL());
    // A missing folder: nothing to delete, nothing requested.
    EXPECT_FALSE(client.Download(L"a.dll", local_ / L"missing\\a.dll"));
    EXPECT_FALSE(client.Error().empty());
    EXPECT_TRUE(server_.Requests().empty());

    // Held by someone else: the file stays and the deletion's error is raised.
    const std::wstring held = local_ / L"held.dll";
    WriteWholeFile(held, "in use");
    {
        HANDLE h = CreateFileW(held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        TRESTClientDownload other(server_.BaseURL());
        try {
            other.Download(L"held.dll", held);
            ADD_FAILURE() << "no error raised";
        } catch (const Win32Error& e) {
            EXPECT_EQ(e.code(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        }
        EXPECT_FALSE(other.Error().empty());
        CloseHandle(h);
    }
    EXPECT_EQ(ReadWholeFile(held), "in use");

    // Read-only: refused as on Windows, also where Wine would let root replace it.
    const std::wstring readOnly = local_ / L"ro.dll";
    WriteWholeFile(readOnly, "keep");
    SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_THROW(client.Download(L"ro.dll", readOnly), Win32Error);
    EXPECT_EQ(ReadWholeFile(readOnly), "keep");
}

TEST_F(Scripted, ThreadedDownloadKeepsPumpingWindowMessages) {
    static int delivered = 0;
    delivered = 0;
    WNDCLASSW wc{};
    wc.lpfnWndProc = [](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
        if (m == WM_APP) ++delivered;
        return DefWindowProcW(h, m, w, l);
    };
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"AureviaClientTestPump";
    RegisterClassW(&wc);
    HWND window =
        CreateWindowW(wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
    ASSERT_NE(window, nullptr);

    server_.On("/download", [](SOCKET connection, const ReceivedRequest&) {
        Sleep(800);
        ScriptedServer::Send(connection, ScriptedServer::Response("HTTP/1.1 200 OK", "", "threaded"));
    });
    PostMessageW(window, WM_APP, 0, 0);
    TRESTClientDownload client(server_.BaseURL());
    EXPECT_TRUE(client.ThreadedDownload(L"t.dll", local_ / L"t.dll"));
    EXPECT_EQ(delivered, 1);
    EXPECT_EQ(ReadWholeFile(local_ / L"t.dll"), "threaded");

    ScriptedServer refusing;
    refusing.On("/download", ScriptedServer::Response("HTTP/1.1 404 Not Found", "", ""));
    TRESTClientDownload missing(refusing.BaseURL());
    EXPECT_FALSE(missing.ThreadedDownload(L"t.dll", local_ / L"t.dll"));
    // A failed fetch leaves the file that was there, and nothing beside it.
    EXPECT_EQ(ReadWholeFile(local_ / L"t.dll"), "threaded");
    EXPECT_EQ(std::distance(fs::directory_iterator(local_.Dir()), fs::directory_iterator()), 1);
    EXPECT_EQ(missing.Error(), L"");
    DestroyWindow(window);
}

// The user closes the launcher while the new build's body is half-way: the call ends at once without
// a success, the quit request is kept for the caller's loop, and when the rest of the body arrives
// anyway nothing of it replaces the build that was there.
TEST_F(Scripted, AQuitDuringAThreadedDownloadEndsItAndKeepsTheTargetWhole) {
    const std::wstring target = local_ / L"Aurevia.EXE";
    WriteWholeFile(target, "the good build");
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the test thread's queue, before any post to it

    const unique_handle halfSent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const unique_handle rest(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    server_.On("/download", [&](SOCKET connection, const ReceivedRequest&) {
        const std::string whole =
            ScriptedServer::Response("HTTP/1.1 200 OK", "", std::string(256 * 1024, 'n'));
        ScriptedServer::Send(connection, whole.substr(0, whole.size() / 2));
        SetEvent(halfSent.get());
        WaitForSingleObject(rest.get(), 20000);
        ScriptedServer::Send(connection, whole.substr(whole.size() / 2));
    });
    const DWORD testThread = GetCurrentThreadId();
    std::thread user([&] {
        WaitForSingleObject(halfSent.get(), 20000);
        PostThreadMessageW(testThread, WM_QUIT, 7, 0);
    });

    TRESTClientDownload client(server_.BaseURL());
    const bool replaced = client.ThreadedDownload(L"Aurevia.EXE", target);
    user.join();
    const bool quitKept = PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
    SetEvent(rest.get());

    EXPECT_FALSE(replaced);
    EXPECT_TRUE(quitKept);
    if (quitKept) {
        EXPECT_EQ(msg.wParam, 7u);
    }
    // The fetch ends at its next piece and removes its temporary.
    const auto filesInFolder = [&] {
        return std::distance(fs::directory_iterator(local_.Dir()), fs::directory_iterator());
    };
    for (int i = 0; i < 200 && filesInFolder() > 1; ++i) Sleep(50);
    EXPECT_EQ(filesInFolder(), 1);
    EXPECT_TRUE(ReadWholeFile(target) == "the good build") << "the target was replaced";
}

}  // namespace
