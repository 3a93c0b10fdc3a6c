// The files updater end to end on real folders and real HTTP servers under Wine: what gets fetched,
// what is left alone, what a failed fetch leaves behind, and when the completion comes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>

#include "base/string_convert.h"
#include "http_fixtures.h"
#include "support/message_pump.h"
#include "support/scripted_server.h"
#include "support/test_files.h"
#include "update/disk/file_operations.h"
#include "update/updater/files_updater.h"

using ::testing::Contains;
using ::testing::Each;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

namespace {

// What one update did, as its caller sees it.
struct Outcome {
    std::optional<std::string> error;  // the message Execute raised
    bool completed = false;
    bool completedInsideExecute = false;
    bool completedOnThisThread = false;
    bool released = false;  // nothing kept the updater alive afterwards
};

// Runs one update as the menu window does: New, Execute, drop the reference, then wait for the
// completion on this (UI) thread.
Outcome RunUpdate(const std::wstring& local, const std::wstring& remote, const std::wstring& url,
                  const std::wstring& module, bool additionalFiles) {
    Outcome outcome;
    bool executing = false;
    const DWORD thread = GetCurrentThreadId();
    std::shared_ptr<IFilesUpdater> updater = TFilesUpdater::New(local, remote, url, [&] {
        outcome.completed = true;
        outcome.completedInsideExecute = executing;
        outcome.completedOnThisThread = GetCurrentThreadId() == thread;
    });
    const std::weak_ptr<IFilesUpdater> watch = updater;
    executing = true;
    try {
        updater->Execute(module, additionalFiles);
    } catch (const std::exception& e) {
        outcome.error = e.what();
    }
    executing = false;
    updater.reset();
    // After an error the completion must never come: give it a fair chance to show up anyway.
    PumpUntil([&] { return outcome.completed; }, outcome.error ? 500 : 30000);
    outcome.released = watch.expired();
    return outcome;
}

std::vector<std::wstring> LeftoverTemporaries(const std::wstring& folder) {
    std::vector<std::wstring> leftovers;
    for (const std::wstring& name : FilesUnder(folder)) {
        if (name.find(L"~aur") != std::wstring::npos) leftovers.push_back(name);
    }
    return leftovers;
}

const TDateTime kOld = LocalAge(2021, 6, 1, 9, 0, 0, 250);
const TDateTime kServer = LocalAge(2022, 1, 10, 14, 32, 5, 123);
const TDateTime kNewer = LocalAge(2023, 3, 3, 3, 3, 3, 3);

// One file of the folder tests: its name on each side (empty: not there), its ages, and what the
// local folder must hold afterwards.
struct FolderCase {
    const char* why;
    std::wstring serverName;
    TDateTime serverAge;
    std::wstring localName;
    TDateTime localAge;
    std::wstring checkName;  // where to look locally afterwards
    bool fetched;            // holds the server's content and age; otherwise unchanged (or absent)
};

const FolderCase kFolderCases[] = {
    {"missing locally", L"Admission.exe", kServer, L"", 0, L"Admission.exe", true},
    {"same age", L"central.ini", kServer, L"central.ini", kServer, L"central.ini", false},
    {"local older", L"gds32.dll", kServer, L"gds32.dll", kOld, L"gds32.dll", true},
    {"local newer", L"SiUSBXp.dll", kServer, L"SiUSBXp.dll", kNewer, L"SiUSBXp.dll", true},
    {"server lacks it", L"", 0, L"mp2032.dll", kOld, L"mp2032.dll", false},
    {"letter case differs", L"FBCLIENT.DLL", kServer, L"", 0, L"fbclient.dll", true},
    {"folder missing locally", L"Relatorio\\RptScheduling.rav", kServer, L"", 0,
     L"Relatorio\\RptScheduling.rav", true},
    {"listed twice", L"qtintf70.dll", kServer, L"qtintf70.dll", kOld, L"qtintf70.dll", true},
    {"not in the local list", L"Unlisted.dll", kServer, L"", 0, L"Unlisted.dll", false},
};

std::string ServerContent(const FolderCase& c) { return "server " + WideToUtf8(c.serverName); }
std::string LocalContent(const FolderCase& c) { return "local " + WideToUtf8(c.localName); }

class FolderUpdate : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const FolderCase& c : kFolderCases) {
            if (!c.serverName.empty()) WriteFileAt(server / c.serverName, ServerContent(c), c.serverAge);
            if (!c.localName.empty()) WriteFileAt(local / c.localName, LocalContent(c), c.localAge);
        }
    }

    void ExpectEveryCaseSettled() {
        for (const FolderCase& c : kFolderCases) {
            const std::wstring path = local / c.checkName;
            if (c.fetched) {
                EXPECT_EQ(ReadWholeFile(path), ServerContent(c)) << c.why;
                EXPECT_EQ(AgeOf(path), c.serverAge) << c.why;
            } else if (!c.localName.empty()) {
                EXPECT_EQ(ReadWholeFile(path), LocalContent(c)) << c.why;
                EXPECT_EQ(AgeOf(path), c.localAge) << c.why;
            } else {
                EXPECT_FALSE(FileExists(path)) << c.why;
            }
        }
        EXPECT_THAT(LeftoverTemporaries(local.Path()), testing::IsEmpty());
    }

    TempFolder local, server;
};

TEST_F(FolderUpdate, FetchesWhatIsMissingOrDiffersAndLeavesTheRestAlone) {
    const Outcome outcome = RunUpdate(local.Path(), server.Path(), L"", L"Admission.exe", true);
    ASSERT_FALSE(outcome.error) << *outcome.error;
    EXPECT_TRUE(outcome.completed);
    EXPECT_FALSE(outcome.completedInsideExecute);
    EXPECT_TRUE(outcome.completedOnThisThread);
    EXPECT_TRUE(outcome.released);
    ExpectEveryCaseSettled();
}

TEST_F(FolderUpdate, AFetchedFileComparesEqualAtTheNextUpdate) {
    ASSERT_TRUE(RunUpdate(local.Path(), server.Path(), L"", L"Admission.exe", true).completed);
    // Same ages, other bytes: only a fetch could bring these in.
    for (const FolderCase& c : kFolderCases) {
        if (!c.serverName.empty()) WriteFileAt(server / c.serverName, "changed", c.serverAge);
    }
    ASSERT_TRUE(RunUpdate(local.Path(), server.Path(), L"", L"Admission.exe", true).completed);
    ExpectEveryCaseSettled();
}

TEST_F(FolderUpdate, ModuleAloneLeavesTheSharedFilesAlone) {
    ASSERT_TRUE(RunUpdate(local.Path(), server.Path(), L"", L"Admission.exe", false).completed);
    EXPECT_EQ(ReadWholeFile(local / L"Admission.exe"), "server Admission.exe");
    EXPECT_EQ(ReadWholeFile(local / L"gds32.dll"), "local gds32.dll");
    EXPECT_FALSE(FileExists(local / L"Relatorio\\RptScheduling.rav"));
}

TEST(FolderUpdateFailures, UnreplaceableTargetsKeepTheirOldFileWhileTheOthersArrive) {
    TempFolder local, server;
    for (const wchar_t* name : {L"Admission.exe", L"gds32.dll", L"dbxfb.dll", L"zlib1.dll"}) {
        WriteFileAt(server / name, "new", kServer);
        WriteFileAt(local / name, "old", kOld);
    }
    SetReadOnly(local / L"gds32.dll", true);
    Outcome outcome;
    {
        const HeldOpen running(local / L"Admission.exe");
        outcome = RunUpdate(local.Path(), server.Path(), L"", L"Admission.exe", true);
    }
    ASSERT_FALSE(outcome.error) << *outcome.error;
    EXPECT_TRUE(outcome.completed);
    for (const wchar_t* name : {L"Admission.exe", L"gds32.dll"}) {
        EXPECT_EQ(ReadWholeFile(local / name), "old");
        EXPECT_EQ(AgeOf(local / name), kOld);
    }
    for (const wchar_t* name : {L"dbxfb.dll", L"zlib1.dll"}) {
        EXPECT_EQ(ReadWholeFile(local / name), "new");
        EXPECT_EQ(AgeOf(local / name), kServer);
    }
    EXPECT_THAT(LeftoverTemporaries(local.Path()), testing::IsEmpty());
}

TEST(FolderUpdateFailures, AVanishedServerFileLeavesNoFileBehind) {
    TempFolder local, server;
    WriteFileAt(server / L"Admission.exe", "new", kServer);
    // Listed, then gone before the copy: the update lists, compares and copies in one go, so a
    // folder in its place makes the copy fail instead.
    CreateDirectoryW((server / L"zlib1.dll").c_str(), nullptr);
    WriteFileAt(server / L"zlib1.dll\\inner.txt", "x", kServer);
    const Outcome outcome = RunUpdate(local.Path(), server.Path(), L"", L"Admission.exe", true);
    EXPECT_TRUE(outcome.completed);
    EXPECT_EQ(ReadWholeFile(local / L"Admission.exe"), "new");
    EXPECT_FALSE(FileExists(local / L"zlib1.dll"));
    EXPECT_THAT(LeftoverTemporaries(local.Path()), testing::IsEmpty());
}

TEST(FolderUpdateFailures, TwoUpdatesAtOnceOverOneFolderBothLandEveryFile) {
    // Two quick clicks on a tile start two updaters over the same files.
    TempFolder local, server;
    for (const std::wstring_view name : {L"Admission.exe", L"gds32.dll", L"Relatorio\\RptScheduling.rav"}) {
        WriteFileAt(server / std::wstring(name), std::string(200000, 'n'), kServer);
    }
    int completions = 0;
    for (int i = 0; i < 2; ++i) {
        TFilesUpdater::New(local.Path(), server.Path(), L"", [&] {
            ++completions;
        })->Execute(L"Admission.exe", true);
    }
    ASSERT_TRUE(PumpUntil([&] { return completions == 2; }, 30000));
    for (const std::wstring_view name : {L"Admission.exe", L"gds32.dll", L"Relatorio\\RptScheduling.rav"}) {
        EXPECT_EQ(ReadWholeFile(local / std::wstring(name)), std::string(200000, 'n'));
        EXPECT_EQ(AgeOf(local / std::wstring(name)), kServer);
    }
    EXPECT_THAT(LeftoverTemporaries(local.Path()), testing::IsEmpty());
}

TEST(UpdateLifecycle, EmptyRequestStillCompletesAfterExecuteHasReturned) {
    TempFolder local, server;
    WriteFileAt(server / L"Admission.exe", "new", kServer);
    const Outcome outcome = RunUpdate(local.Path(), server.Path(), L"", L"", false);
    ASSERT_FALSE(outcome.error) << *outcome.error;
    EXPECT_TRUE(outcome.completed);
    EXPECT_FALSE(outcome.completedInsideExecute);
    EXPECT_TRUE(outcome.completedOnThisThread);
    EXPECT_TRUE(outcome.released);
    EXPECT_TRUE(FilesUnder(local.Path()).empty());
}

TEST(UpdateLifecycle, ErrorsWhilePreparingLeaveExecuteAndNeverComplete) {
    TempFolder local, server;
    struct Case {
        const char* why;
        std::wstring remote, url, module;
        const char* message;
    };
    const Case cases[] = {
        {"missing server folder", server / L"missing", L"", L"Admission.exe",
         "The specified path was not found"},
        // Blanks are a URL, not "no URL": the service is asked, and an address of blanks cannot be.
        {"URL of blanks", server.Path(), L"   ", L"Admission.exe", "REST request failed"},
        {"invalid module name", server.Path(), L"", L"Adm|ssion.exe", "Invalid characters in path"},
    };
    for (const Case& c : cases) {
        const Outcome outcome = RunUpdate(local.Path(), c.remote, c.url, c.module, true);
        ASSERT_TRUE(outcome.error) << c.why;
        EXPECT_THAT(*outcome.error, HasSubstr(c.message)) << c.why;
        EXPECT_FALSE(outcome.completed) << c.why;
        EXPECT_TRUE(outcome.released) << c.why;
    }
    EXPECT_TRUE(FilesUnder(local.Path()).empty());
}

// --- the service strategy ---------------------------------------------------------------------

// An answer with `body`; an `announced` length above the body's ends the connection half-way through
// the transfer, as a server that dies would.
std::string Answer(const std::string& status, const std::string& body, size_t announced = std::string::npos) {
    const std::string length =
        announced == std::string::npos ? "" : "Content-Length: " + std::to_string(announced) + "\r\n";
    return ScriptedServer::Response("HTTP/1.1 " + status,
                                    "Content-Type: application/octet-stream\r\n" + length, body);
}

TEST(ServiceUpdate, FetchesEachTargetOnceWithTheServersAge) {
    TempFolder local;
    CreateDirectoryW((local / L"Relatorio").c_str(), nullptr);
    ScriptedServer server;
    server.On("/folderlist",
              Answer("200 OK", FileListJSON({{"Admission.exe", ISOAge(kServer)},
                                             {"qtintf70.dll", ISOAge(kServer)},
                                             {"relatorio\\rptscheduling.rav", ISOAge(kServer)}})));
    server.On("/download", [](SOCKET connection, const ReceivedRequest& request) {
        ScriptedServer::Send(connection, Answer("200 OK", "bytes of " + RequestedFile(request)));
    });
    const Outcome outcome = RunUpdate(local.Path(), L"", server.BaseURL(), L"Admission.exe", true);
    ASSERT_FALSE(outcome.error) << *outcome.error;
    EXPECT_TRUE(outcome.completed);

    EXPECT_EQ(ReadWholeFile(local / L"Admission.exe"), "bytes of Admission.exe");
    EXPECT_EQ(AgeOf(local / L"Admission.exe"), kServer);
    // The local list's spelling is asked for and written, whatever the service's letter case.
    EXPECT_EQ(ReadWholeFile(local / L"Relatorio\\RptScheduling.rav"),
              "bytes of Relatorio\\RptScheduling.rav");
    std::vector<std::string> downloads;
    for (const ReceivedRequest& request : server.Requests()) {
        if (!RequestedFile(request).empty()) downloads.push_back(RequestedFile(request));
    }
    EXPECT_EQ(std::count(downloads.begin(), downloads.end(), "qtintf70.dll"), 1)
        << "listed twice, fetched once";
    EXPECT_EQ(downloads.size(), 3u);
    EXPECT_THAT(LeftoverTemporaries(local.Path()), testing::IsEmpty());
}

TEST(ServiceUpdate, FailedDownloadsKeepThePreviousFileOrLeaveNone) {
    TempFolder local;
    WriteFileAt(local / L"Admission.exe", "old", kOld);
    WriteFileAt(local / L"gds32.dll", "old", kOld);
    ScriptedServer server;
    server.On("/folderlist", Answer("200 OK", FileListJSON({{"Admission.exe", ISOAge(kServer)},
                                                            {"gds32.dll", ISOAge(kServer)},
                                                            {"zlib1.dll", ISOAge(kServer)},
                                                            {"dbxfb.dll", ISOAge(kServer)}})));
    server.On("/download", [](SOCKET connection, const ReceivedRequest& request) {
        const std::string file = RequestedFile(request);
        std::string answer = Answer("200 OK", "new");
        if (file == "Admission.exe") answer = Answer("200 OK", "half of it", 100000);  // dies half-way
        if (file == "gds32.dll") answer = Answer("500 Internal Server Error", "boom");
        if (file == "zlib1.dll") answer = Answer("404 Not Found", "");
        ScriptedServer::Send(connection, answer);
    });
    const Outcome outcome = RunUpdate(local.Path(), L"", server.BaseURL(), L"Admission.exe", true);
    ASSERT_FALSE(outcome.error) << *outcome.error;
    EXPECT_TRUE(outcome.completed);
    for (const wchar_t* name : {L"Admission.exe", L"gds32.dll"}) {
        EXPECT_EQ(ReadWholeFile(local / name), "old");
        EXPECT_EQ(AgeOf(local / name), kOld);
    }
    EXPECT_FALSE(FileExists(local / L"zlib1.dll"));
    EXPECT_EQ(ReadWholeFile(local / L"dbxfb.dll"), "new");
    EXPECT_THAT(LeftoverTemporaries(local.Path()), testing::IsEmpty());
}

TEST(ServiceUpdate, RefusedListCompletesWithoutFetching) {
    TempFolder local;
    ScriptedServer server;
    server.On("/folderlist",
              Answer("404 Not Found", R"({"error":"Not Found","status":404,"detail":"no such folder"})"));
    const Outcome outcome = RunUpdate(local.Path(), L"", server.BaseURL(), L"Admission.exe", true);
    ASSERT_FALSE(outcome.error) << *outcome.error;
    EXPECT_TRUE(outcome.completed);
    EXPECT_EQ(server.Requests().size(), 1u);
    EXPECT_TRUE(FilesUnder(local.Path()).empty());
}

TEST(ServiceUpdate, ServerErrorOnTheListLeavesExecute) {
    TempFolder local;
    ScriptedServer server;
    server.On("/folderlist", Answer("500 Internal Server Error", "down"));
    const Outcome outcome = RunUpdate(local.Path(), L"", server.BaseURL(), L"Admission.exe", true);
    ASSERT_TRUE(outcome.error);
    EXPECT_THAT(*outcome.error, HasSubstr("500"));
    EXPECT_FALSE(outcome.completed);
    EXPECT_TRUE(outcome.released);
}

TEST(ReferenceServiceUpdate, FetchesEverythingThenNothing) {
    TempFolder served(L"Z:\\tmp\\");
    TempFolder local;
    const ReferenceService service(served.Path());
    if (!service.Available()) GTEST_SKIP() << "the reference file service is not built (native tree)";
    WriteFileAt(served / L"Admission.exe", std::string(300000, 'A'), kServer);
    WriteFileAt(served / L"Relatorio\\RptScheduling.rav", "report", kNewer);
    WriteFileAt(served / L"gds32.dll", "gds", kOld);
    WriteFileAt(local / L"gds32.dll", "local gds", kNewer);
    CreateDirectoryW((local / L"Relatorio").c_str(), nullptr);

    const Outcome first = RunUpdate(local.Path(), L"", service.URL(), L"Admission.exe", true);
    ASSERT_FALSE(first.error) << *first.error;
    ASSERT_TRUE(first.completed);
    for (const wchar_t* name : {L"Admission.exe", L"Relatorio\\RptScheduling.rav", L"gds32.dll"}) {
        EXPECT_EQ(ReadWholeFile(local / name), ReadWholeFile(served / name));
        EXPECT_EQ(AgeOf(local / name), AgeOf(served / name));
    }
    // Same ages, other bytes locally: a second update that fetched anything would bring them back.
    WriteFileAt(local / L"Admission.exe", "kept", kServer);
    const Outcome second = RunUpdate(local.Path(), L"", service.URL(), L"Admission.exe", true);
    ASSERT_TRUE(second.completed);
    EXPECT_EQ(ReadWholeFile(local / L"Admission.exe"), "kept");
}

}  // namespace
