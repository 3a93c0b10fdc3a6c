// The updater with a publisher key: every attack on a signed release tried for real, over a server
// folder and over a scripted file service, and none of them gets a byte of its own onto the
// workstation.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>

#include "base/string_convert.h"
#include "../updater/http_fixtures.h"
#include "../updater/verified_update_run.h"
#include "support/message_pump.h"
#include "support/scripted_server.h"
#include "support/test_files.h"
#include "support/test_publisher.h"
#include "update/updater/files_updater.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAreArray;

namespace {

const TDateTime kOld = LocalAge(2021, 6, 1, 9, 0, 0, 250);
const TDateTime kServer = LocalAge(2022, 1, 10, 14, 32, 5, 123);
const TDateTime kNewer = LocalAge(2023, 3, 3, 3, 3, 3, 3);
const int64_t kDay = 86400;

std::vector<std::wstring> LeftoverTemporaries(const std::wstring& folder) {
    std::vector<std::wstring> leftovers;
    for (const std::wstring& name : FilesUnder(folder))
        if (name.find(L"~aur") != std::wstring::npos) leftovers.push_back(name);
    return leftovers;
}

// The release on the server: three files of the local list at version 2; the workstation holds two of
// them at version 1.
const std::map<std::wstring, std::string> kRelease2 = {{L"Admission.exe", "module v2"},
                                                       {L"gds32.dll", "gds v2"},
                                                       {L"Relatorio\\RptScheduling.rav", "layout v2"}};
const std::map<std::wstring, std::string> kInstalled = {{L"Admission.exe", "module v1"},
                                                        {L"gds32.dll", "gds v1"}};

// --- the server folder -----------------------------------------------------------------------

struct FolderRelease {
    TempFolder local, server;
    TestPublisher publisher;
    SerialKey serialKey;
    TUpdateVerification verification;

    FolderRelease() {
        for (const auto& [name, content] : kRelease2) WriteFileAt(server / name, content, kServer);
        for (const auto& [name, content] : kInstalled) WriteFileAt(local / name, content, kOld);
        verification.PublisherKey = publisher.PublicKeyText();
        verification.SerialKey = serialKey.Path();
    }
    void Sign(uint64_t serial, int64_t expires = UnixNowPlus(30 * kDay)) {
        publisher.PublishFolder(server.Path(), serial, expires);
    }
    std::wstring ManifestPath() const { return server / Utf8ToWide(kManifestFileName); }
    std::wstring SignaturePath() const { return server / Utf8ToWide(kManifestSignatureFileName); }
    Outcome Update() { return RunUpdate(local.Path(), server.Path(), L"", verification); }
};

struct AttackCase {
    const char* attack;
    std::function<void(FolderRelease&)> prepare;  // signs (or not) and then tampers
    TRefusal refusal;
    std::vector<std::wstring> altered;
    std::vector<std::wstring> arrived;  // files that hold version 2 afterwards; the rest are untouched
};

const std::vector<std::wstring> kAll = {L"Admission.exe", L"gds32.dll", L"Relatorio\\RptScheduling.rav"};

const AttackCase kFolderAttacks[] = {
    {"none: a correctly signed release arrives whole",
     [](FolderRelease& r) { r.Sign(10); },
     TRefusal::None,
     {},
     kAll},
    {"file altered on the server after signing",
     [](FolderRelease& r) {
         r.Sign(10);
         WriteFileAt(r.server / L"gds32.dll", "gds evil", kServer);
     },
     TRefusal::None,
     {L"gds32.dll"},
     {L"Admission.exe", L"Relatorio\\RptScheduling.rav"}},
    {"file of the same size altered on the server after signing",
     [](FolderRelease& r) {
         r.Sign(10);
         WriteFileAt(r.server / L"gds32.dll", "gds v3", kServer);
     },
     TRefusal::None,
     {L"gds32.dll"},
     {L"Admission.exe", L"Relatorio\\RptScheduling.rav"}},
    {"file taken from an older signed release (mix-and-match)",
     [](FolderRelease& r) {
         // Release 9 was signed with gds v1 (the old manifest lists it so); release 10 ships gds v2, but
         // the server holds release 9's file.
         WriteFileAt(r.server / L"gds32.dll", "gds v1", kServer);
         r.Sign(9);
         WriteFileAt(r.server / L"gds32.dll", "gds v2", kServer);
         r.Sign(10);
         WriteFileAt(r.server / L"gds32.dll", "gds v1", kServer);
     },
     TRefusal::None,
     {L"gds32.dll"},
     {L"Admission.exe", L"Relatorio\\RptScheduling.rav"}},
    {"manifest signed with another key",
     [](FolderRelease& r) {
         const TestPublisher other;
         other.PublishFolder(r.server.Path(), 10, UnixNowPlus(30 * kDay));
     },
     TRefusal::BadSignature,
     {},
     {}},
    {"manifest edited after signing to vouch for another file",
     [](FolderRelease& r) {
         r.Sign(10);
         WriteFileAt(r.server / L"gds32.dll", "gds evil", kServer);
         TReleaseManifest edited = TestPublisher::ManifestOf(r.server.Path(), 10, UnixNowPlus(30 * kDay));
         WriteWholeFile(r.ManifestPath(), EncodeReleaseManifest(edited));
     },
     TRefusal::BadSignature,
     {},
     {}},
    {"signature of the right size but not of this manifest",
     [](FolderRelease& r) {
         r.Sign(10);
         WriteWholeFile(r.SignaturePath(), r.publisher.Sign("another manifest"));
     },
     TRefusal::BadSignature,
     {},
     {}},
    {"signature cut short",
     [](FolderRelease& r) {
         r.Sign(10);
         WriteWholeFile(r.SignaturePath(), ReadWholeFile(r.SignaturePath()).substr(0, 63));
     },
     TRefusal::BadSignature,
     {},
     {}},
    {"expired manifest", [](FolderRelease& r) { r.Sign(10, UnixNowPlus(-60)); }, TRefusal::Expired, {}, {}},
    {"manifest missing",
     [](FolderRelease& r) {
         r.Sign(10);
         DeleteFileW(r.ManifestPath().c_str());
     },
     TRefusal::MissingManifest,
     {},
     {}},
    {"signature missing",
     [](FolderRelease& r) {
         r.Sign(10);
         DeleteFileW(r.SignaturePath().c_str());
     },
     TRefusal::MissingManifest,
     {},
     {}},
    {"a file the manifest does not name is not fetched",
     [](FolderRelease& r) {
         TReleaseManifest manifest = TestPublisher::ManifestOf(r.server.Path(), 10, UnixNowPlus(30 * kDay));
         std::erase_if(manifest.Files, [](const TManifestFile& f) { return f.Name == "gds32.dll"; });
         r.publisher.Publish(r.server.Path(), manifest);
     },
     TRefusal::None,
     {},
     {L"Admission.exe", L"Relatorio\\RptScheduling.rav"}},
    {"malformed key in Aurevia.ini",
     [](FolderRelease& r) {
         r.Sign(10);
         r.verification.PublisherKey = L"ecdsa-p256:bm90IGEga2V5";
     },
     TRefusal::InvalidKey,
     {},
     {}},
    {"key of another kind in Aurevia.ini",
     [](FolderRelease& r) {
         r.Sign(10);
         r.verification.PublisherKey = L"ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIG";
     },
     TRefusal::InvalidKey,
     {},
     {}},
};

TEST(VerifiedFolderUpdate, NoAttackGetsAByteOfItsOwnOntoTheWorkstation) {
    for (const AttackCase& c : kFolderAttacks) {
        SCOPED_TRACE(c.attack);
        FolderRelease release;
        c.prepare(release);
        const Outcome outcome = release.Update();
        ASSERT_FALSE(outcome.error) << *outcome.error;
        ASSERT_TRUE(outcome.completed);
        EXPECT_EQ(outcome.report.Refusal, c.refusal);
        EXPECT_THAT(outcome.report.AlteredFiles, UnorderedElementsAreArray(c.altered));
        for (const std::wstring& name : kAll) {
            const bool arrived = std::find(c.arrived.begin(), c.arrived.end(), name) != c.arrived.end();
            const auto installed = kInstalled.find(name);
            if (arrived) {
                EXPECT_EQ(ReadWholeFile(release.local / name), kRelease2.at(name)) << WideToUtf8(name);
                EXPECT_EQ(AgeOf(release.local / name), kServer) << WideToUtf8(name);
            } else if (installed != kInstalled.end()) {
                EXPECT_EQ(ReadWholeFile(release.local / name), installed->second) << WideToUtf8(name);
                EXPECT_EQ(AgeOf(release.local / name), kOld) << WideToUtf8(name);
            } else {
                EXPECT_FALSE(PathExists(release.local / name)) << WideToUtf8(name);
            }
        }
        EXPECT_THAT(LeftoverTemporaries(release.local.Path()), IsEmpty());
        // A serial is remembered only from an accepted manifest.
        const std::optional<uint64_t> stored = TAcceptedSerial(release.serialKey.Path()).Highest();
        if (c.refusal == TRefusal::None) {
            EXPECT_EQ(stored, std::optional<uint64_t>(10));
        } else {
            EXPECT_EQ(stored, std::nullopt);
        }
    }
}

TEST(VerifiedFolderUpdate, AnOlderReleaseServedAfterANewerOneWasAcceptedIsRefused) {
    FolderRelease release;
    release.Sign(11);
    ASSERT_EQ(release.Update().report.Refusal, TRefusal::None);
    // The attacker restores release 10, correctly signed, with its old files and fresh ages.
    for (const auto& [name, content] : kInstalled) WriteFileAt(release.server / name, content + "0", kNewer);
    release.Sign(10);
    const Outcome rollback = release.Update();
    EXPECT_EQ(rollback.report.Refusal, TRefusal::OlderRelease);
    EXPECT_EQ(rollback.report.Detail, "série 10, já aceita a série 11");
    EXPECT_EQ(ReadWholeFile(release.local / L"Admission.exe"), "module v2");
    EXPECT_EQ(TAcceptedSerial(release.serialKey.Path()).Highest(), std::optional<uint64_t>(11));

    // The same release served again passes: equal serials are no rollback.
    for (const auto& [name, content] : kRelease2) WriteFileAt(release.server / name, content, kServer);
    release.Sign(11);
    EXPECT_EQ(release.Update().report.Refusal, TRefusal::None);
}

// The publisher's own tool (OpenSSL, a Linux program of the native tree) signs; the launcher's CNG
// checks. Run through Wine's launching of Linux programs, as the reference service is. The process
// handle Wine gives for a Linux program does not wait for it, so the script leaves its exit status in
// statusFile (a Windows path) and the test waits for that.
bool RunLinuxCommand(const std::wstring& script, const std::wstring& statusFile) {
    const std::wstring status = LinuxPathOf(statusFile);
    std::wstring commandLine = L"Z:\\bin\\sh -c \"(" + script + L"); echo $? > " + status + L".tmp; mv " +
                               status + L".tmp " + status + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    for (int i = 0; i < 600 && !PathExists(statusFile); ++i) Sleep(50);
    return ReadWholeFile(statusFile) == "0\n";
}

TEST(VerifiedFolderUpdate, AReleaseSignedByThePublishersToolIsAcceptedAndItsFilesChecked) {
    const std::wstring tool = AUREVIA_PUBLISH_BUILT;
    if (!PathExists(L"Z:" + tool)) GTEST_SKIP() << "aurevia-publish is not built (native tree)";
    TempFolder served(L"Z:\\tmp\\"), keys(L"Z:\\tmp\\"), local;
    for (const auto& [name, content] : kRelease2) WriteFileAt(served / name, content, kServer);
    ASSERT_TRUE(RunLinuxCommand(tool + L" keygen --out " + LinuxPathOf(keys.Path()) + L" >/dev/null && " +
                                    tool + L" sign --folder " + LinuxPathOf(served.Path()) + L" --key " +
                                    LinuxPathOf(keys.Path()) + L"publisher-key.pem >/dev/null",
                                keys / L"status"));
    std::string key = ReadWholeFile(keys / L"publisher-key.pub");
    key.erase(key.find_last_not_of("\r\n") + 1);
    WriteFileAt(served / L"gds32.dll", "gds evil", kServer);
    const SerialKey serialKey;
    const Outcome outcome = RunUpdate(local.Path(), served.Path(), L"", {Utf8ToWide(key), serialKey.Path()});
    ASSERT_FALSE(outcome.error) << *outcome.error;
    ASSERT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.report.Refusal, TRefusal::None) << outcome.report.Detail;
    EXPECT_THAT(outcome.report.AlteredFiles, ElementsAre(L"gds32.dll"));
    EXPECT_EQ(ReadWholeFile(local / L"Admission.exe"), "module v2");
    EXPECT_EQ(ReadWholeFile(local / L"Relatorio\\RptScheduling.rav"), "layout v2");
    EXPECT_FALSE(PathExists(local / L"gds32.dll"));
}

// --- the file service ----------------------------------------------------------------------

std::string Answer(const std::string& body) {
    return ScriptedServer::Response("HTTP/1.1 200 OK", "Content-Type: application/octet-stream\r\n", body);
}

// A scripted file service holding release 2 and its signed manifest; a download may be scripted to
// misbehave.
struct ServiceRelease {
    TempFolder local;
    ScriptedServer server;
    TestPublisher publisher;
    SerialKey serialKey;
    TUpdateVerification verification;
    std::map<std::string, std::string> files;  // what the service holds, by name as requested
    std::map<std::string, ScriptedServer::Reply> misbehaving;

    ServiceRelease() {
        CreateDirectoryW((local / L"Relatorio").c_str(), nullptr);
        for (const auto& [name, content] : kRelease2) files[WideToUtf8(name)] = content;
        for (const auto& [name, content] : kInstalled) WriteFileAt(local / name, content, kOld);
        verification.PublisherKey = publisher.PublicKeyText();
        verification.SerialKey = serialKey.Path();
        server.On("/folderlist", [this](SOCKET connection, const ReceivedRequest&) {
            std::vector<std::pair<std::string, std::string>> listed;
            for (const auto& [name, content] : files) listed.emplace_back(name, ISOAge(kServer));
            ScriptedServer::Send(connection, Answer(FileListJSON(listed)));
        });
        server.On("/download", [this](SOCKET connection, const ReceivedRequest& request) {
            const std::string name = RequestedFile(request);
            if (const auto special = misbehaving.find(name); special != misbehaving.end()) {
                special->second(connection, request);
            } else if (const auto file = files.find(name); file != files.end()) {
                ScriptedServer::Send(connection, Answer(file->second));
            } else {
                ScriptedServer::Send(connection,
                                     ScriptedServer::Response("HTTP/1.1 404 Not Found", "", "no such file"));
            }
        });
    }
    void Sign(uint64_t serial) {
        files.erase(std::string(kManifestFileName));
        files.erase(std::string(kManifestSignatureFileName));
        TReleaseManifest manifest{serial, UnixNowPlus(30 * kDay), {}};
        for (const auto& [name, content] : files)
            manifest.Files.push_back(TestPublisher::Entry(name, content));
        const std::string bytes = EncodeReleaseManifest(manifest);
        files[std::string(kManifestFileName)] = bytes;
        files[std::string(kManifestSignatureFileName)] = publisher.Sign(bytes);
    }
    Outcome Update() { return RunUpdate(local.Path(), L"", server.BaseURL(), verification); }
    // What each request asked for: "list", or the name of the file downloaded.
    std::vector<std::string> Asked() const {
        std::vector<std::string> asked;
        for (const ReceivedRequest& request : server.Requests()) {
            const std::string file = RequestedFile(request);
            asked.push_back(file.empty() ? "list" : file);
        }
        return asked;
    }
};

const std::vector<std::string> kReleaseDownloads = {"Admission.exe", "Relatorio\\RptScheduling.rav",
                                                    "gds32.dll"};

std::vector<std::string> Sorted(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    return names;
}

TEST(VerifiedServiceUpdate, WithoutAKeyTheRequestsAreExactlyThoseOfAnUnverifiedUpdate) {
    ServiceRelease release;
    release.Sign(10);
    release.verification.PublisherKey.clear();
    const Outcome outcome = release.Update();
    ASSERT_TRUE(outcome.completed);
    EXPECT_TRUE(outcome.report.Clean());
    const std::vector<std::string> asked = release.Asked();
    ASSERT_FALSE(asked.empty());
    EXPECT_EQ(asked.front(), "list");
    EXPECT_EQ(Sorted({asked.begin() + 1, asked.end()}), kReleaseDownloads) << "no manifest is asked for";
}

// The rollout document is asked for first (release control, update/plan/release_plan.h); a
// service without one answers 404 and the flat manifest applies.
TEST(VerifiedServiceUpdate, ASignedReleaseCostsThreeRequestsMoreAndANoOpRefreshOnlyThose) {
    ServiceRelease release;
    release.Sign(10);
    const Outcome first = release.Update();
    ASSERT_TRUE(first.completed);
    EXPECT_TRUE(first.report.Clean());
    std::vector<std::string> asked = release.Asked();
    ASSERT_EQ(asked.size(), 7u);
    EXPECT_THAT(std::vector<std::string>(asked.begin(), asked.begin() + 4),
                ElementsAre("aurevia-rollout.json", "aurevia-manifest.json", "aurevia-manifest.sig", "list"));
    EXPECT_EQ(Sorted({asked.begin() + 4, asked.end()}), kReleaseDownloads);
    for (const auto& [name, content] : kRelease2) EXPECT_EQ(ReadWholeFile(release.local / name), content);

    const Outcome noOp = release.Update();
    EXPECT_TRUE(noOp.report.Clean());
    asked = release.Asked();
    EXPECT_THAT(std::vector<std::string>(asked.begin() + 7, asked.end()),
                ElementsAre("aurevia-rollout.json", "aurevia-manifest.json", "aurevia-manifest.sig", "list"));
}

// Attacks from the network path: each scripted into the download of one file (or of the manifest).
struct ServiceAttack {
    const char* attack;
    std::string file;
    std::function<void(SOCKET, uint64_t& sent)> reply;
    TRefusal refusal;
    std::vector<std::wstring> altered;
};

constexpr uint64_t kEndless = 1ull << 30;  // what "without end" means here: far past any limit
const std::string kOpenBody =
    "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nConnection: close\r\n\r\n";

const ServiceAttack kServiceAttacks[] = {
    {"a body that goes on past the listed size, no length announced",
     "Admission.exe",
     [](SOCKET c, uint64_t& sent) { sent = ScriptedServer::SendWithoutEnd(c, kOpenBody, kEndless); },
     TRefusal::None,
     {L"Admission.exe"}},
    {"a length far above the listed size announced, then bytes without end",
     "Admission.exe",
     [](SOCKET c, uint64_t& sent) {
         sent = ScriptedServer::SendWithoutEnd(
             c, "HTTP/1.1 200 OK\r\nContent-Length: 1000000000000\r\nConnection: close\r\n\r\n", kEndless);
     },
     TRefusal::None,
     {L"Admission.exe"}},
    {"bytes swapped in flight",
     "gds32.dll",
     [](SOCKET c, uint64_t&) { ScriptedServer::Send(c, Answer("gsd v2")); },
     TRefusal::None,
     {L"gds32.dll"}},
    {"the body cut short by a server that closes cleanly",
     "gds32.dll",
     [](SOCKET c, uint64_t&) { ScriptedServer::Send(c, kOpenBody + "gds"); },
     TRefusal::None,
     {L"gds32.dll"}},
    {"a manifest without end",
     "aurevia-manifest.json",
     [](SOCKET c, uint64_t& sent) { sent = ScriptedServer::SendWithoutEnd(c, kOpenBody, kEndless); },
     TRefusal::MissingManifest,
     {}},
    {"the manifest withheld",
     "aurevia-manifest.json",
     [](SOCKET c, uint64_t&) {
         ScriptedServer::Send(c, ScriptedServer::Response("HTTP/1.1 404 Not Found", "", ""));
     },
     TRefusal::MissingManifest,
     {}},
    {"the signature withheld",
     "aurevia-manifest.sig",
     [](SOCKET c, uint64_t&) {
         ScriptedServer::Send(c, ScriptedServer::Response("HTTP/1.1 404 Not Found", "", ""));
     },
     TRefusal::MissingManifest,
     {}},
    {"the manifest's bytes changed in flight",
     "aurevia-manifest.json",
     [](SOCKET c, uint64_t&) { ScriptedServer::Send(c, Answer(R"({"format":"aurevia-manifest/1"})")); },
     TRefusal::BadSignature,
     {}},
};

TEST(VerifiedServiceUpdate, NoAttackFromTheNetworkPathGetsAByteOntoTheWorkstation) {
    for (const ServiceAttack& c : kServiceAttacks) {
        SCOPED_TRACE(c.attack);
        ServiceRelease release;
        release.Sign(10);
        std::atomic<uint64_t> sentPastHead{0};
        release.misbehaving[c.file] = [&](SOCKET connection, const ReceivedRequest&) {
            uint64_t sent = 0;
            c.reply(connection, sent);
            sentPastHead = sent;
        };
        const Outcome outcome = release.Update();
        ASSERT_FALSE(outcome.error) << *outcome.error;
        ASSERT_TRUE(outcome.completed);
        EXPECT_EQ(outcome.report.Refusal, c.refusal);
        EXPECT_THAT(outcome.report.AlteredFiles, UnorderedElementsAreArray(c.altered));
        // Cut off near the listed size: what went out is what the socket buffers held at most.
        EXPECT_LT(sentPastHead.load(), 64ull << 20);
        for (const auto& [name, content] : kRelease2) {
            const bool attacked = c.refusal != TRefusal::None || WideToUtf8(name) == c.file;
            const auto installed = kInstalled.find(name);
            if (!attacked) {
                EXPECT_EQ(ReadWholeFile(release.local / name), content) << WideToUtf8(name);
            } else if (installed != kInstalled.end()) {
                EXPECT_EQ(ReadWholeFile(release.local / name), installed->second) << WideToUtf8(name);
            } else {
                EXPECT_FALSE(PathExists(release.local / name)) << WideToUtf8(name);
            }
        }
        EXPECT_THAT(LeftoverTemporaries(release.local.Path()), IsEmpty());
        // A refused release asks for nothing more than the rollout document and the manifest files.
        if (c.refusal != TRefusal::None) {
            for (const std::string& asked : release.Asked())
                EXPECT_THAT(asked, ::testing::AnyOf(::testing::StartsWith("aurevia-manifest"),
                                                    ::testing::Eq("aurevia-rollout.json")));
        }
    }
}

TEST(VerifiedServiceUpdate, TheReferenceServiceServesTheManifestLikeAnyOtherFile) {
    TempFolder served(L"Z:\\tmp\\");
    TempFolder local;
    const ReferenceService service(served.Path());
    if (!service.Available()) GTEST_SKIP() << "the reference file service is not built (native tree)";
    for (const auto& [name, content] : kRelease2) WriteFileAt(served / name, content, kServer);
    CreateDirectoryW((local / L"Relatorio").c_str(), nullptr);
    const TestPublisher publisher;
    publisher.PublishFolder(served.Path(), 3, UnixNowPlus(kDay));
    WriteFileAt(served / L"gds32.dll", "gds evil", kServer);
    const SerialKey serialKey;
    const Outcome outcome =
        RunUpdate(local.Path(), L"", service.URL(), {publisher.PublicKeyText(), serialKey.Path()});
    ASSERT_FALSE(outcome.error) << *outcome.error;
    ASSERT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.report.Refusal, TRefusal::None);
    EXPECT_THAT(outcome.report.AlteredFiles, ElementsAre(L"gds32.dll"));
    EXPECT_EQ(ReadWholeFile(local / L"Admission.exe"), "module v2");
    EXPECT_FALSE(PathExists(local / L"gds32.dll"));
}

}  // namespace
