// Deflated objects taken for real: a workstation that holds release 1 is given release 2, whose
// module is also stored deflated, through the server folder and through the reference file
// service; the deflated object is then made to inflate to the file, to a bomb, to other bytes, or
// not at all.
#include <gtest/gtest.h>
#include <zlib.h>

#include <functional>

#include "../updater/http_fixtures.h"
#include "../updater/verified_update_run.h"
#include "base/string_convert.h"
#include "update/plan/stored_objects_source.h"
#include "update/trust/cng.h"
#include "support/test_files.h"
#include "support/test_publisher.h"
#include "support/test_release_server.h"

namespace {

std::string Deflated(const std::string& AContent) {
    uLongf size = compressBound(static_cast<uLong>(AContent.size()));
    std::string out(size, '\0');
    compress2(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(AContent.data()),
              static_cast<uLong>(AContent.size()), 9);
    out.resize(size);
    return out;
}

// A module that deflates well, distinct per row so that every row stores objects of its own.
std::string Module(int ARelease, int ARow) {
    std::string text = "MZ release " + std::to_string(ARelease) + " row " + std::to_string(ARow) + "\n";
    for (int i = 0; i < 4000; ++i)
        text += "export Funcao" + std::to_string(i % 211) + " ordinal " + std::to_string(i) + "\n";
    return text;
}

// Which module a file holds, as a failure shows it (the contents are 100 KB).
std::string Held(const std::wstring& APath) { return ReadWholeFile(APath).substr(0, 24); }

const int64_t kAge1 = UnixUtc(2023, 2, 11, 11, 0, 3);
const int64_t kAge2 = UnixUtc(2024, 3, 12, 12, 0, 5);

// NewFile: inflated from the deflated object; NewPlainFile: the plain object taken after it.
enum class Expect { NewFile, NewPlainFile, OldFileKeptAltered };

struct Row {
    const char* what;
    // The bytes served as the deflated object, from the module's real content.
    std::function<std::string(const std::string&)> stored;
    bool removePlain;  // without the plain object only the deflated one can bring the file
    Expect expect;
};

const Row kRows[] = {
    {"the deflated object alone brings the file, byte-exact", Deflated, true, Expect::NewFile},
    {"a bomb: the deflated object inflates to 4 MB past the signed size",
     [](const std::string& c) { return Deflated(c + std::string(4 << 20, 'A')); }, false,
     Expect::OldFileKeptAltered},
    {"other bytes of the signed size", [](const std::string& c) { return Deflated("X" + c.substr(1)); },
     false, Expect::OldFileKeptAltered},
    {"garbage in place of the deflated object: the plain object is taken",
     [](const std::string&) { return std::string(500, 'G'); }, false, Expect::NewPlainFile},
    {"a deflated object cut in half: the plain object is taken",
     [](const std::string& c) {
         const std::string whole = Deflated(c);
         return whole.substr(0, whole.size() / 2);
     },
     false, Expect::NewPlainFile},
};

struct Server {
    TempFolder folder{L"Z:\\tmp\\"};
    TestPublisher publisher;
    TestReleaseServer releases{publisher, folder.Path()};
    uint64_t rollout = 100;

    void RollOut(uint64_t ARelease) {
        releases.SetRollout(
            TRollout{++rollout, UnixNowPlus(86400), {TRingAssignment{"geral", ARelease, std::nullopt, 100}}});
    }
    // Release ARelease with its module also stored deflated as ADeflated, signed with its size.
    void PublishDeflated(uint64_t ARelease, const std::string& AModule, const std::string& ADeflated) {
        TRelease release = releases.AddRelease(ARelease, {{"Admission.exe", AModule, kAge2}});
        release.Files[0].DeflatedSize = ADeflated.size();
        WriteWholeFile(releases.ObjectFile(AModule) + L".deflate", ADeflated);
        const std::string bytes = EncodeRelease(release);
        const std::wstring base = folder / (L"aurevia-releases\\" + std::to_wstring(ARelease));
        WriteWholeFile(base + L".json", bytes);
        WriteWholeFile(base + L".sig", publisher.Sign(bytes));
    }
};

void RunRows(Server& AServer, const std::wstring& AURL) {
    uint64_t release = 0;
    int n = 0;
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.what);
        ++n;
        TempFolder local;
        SerialKey serials;
        TUpdateVerification verification;
        verification.PublisherKey = AServer.publisher.PublicKeyText();
        verification.SerialKey = serials.Path();
        verification.Ring = "geral";
        verification.MachineValue = "m";
        const std::wstring remote = AURL.empty() ? AServer.folder.Path() : L"";

        const std::string oldModule = Module(1, n), newModule = Module(2, n);
        AServer.releases.AddRelease(++release, {{"Admission.exe", oldModule, kAge1}});
        AServer.RollOut(release);
        ASSERT_EQ(RunUpdate(local.Path(), remote, AURL, verification).report.Refusal, TRefusal::None);
        ASSERT_TRUE(ReadWholeFile(local / L"Admission.exe") == oldModule) << Held(local / L"Admission.exe");

        const std::string stored = row.stored(newModule);
        AServer.PublishDeflated(++release, newModule, stored);
        if (row.removePlain) {
            ASSERT_TRUE(DeleteFileW(AServer.releases.ObjectFile(newModule).c_str()));
        }
        AServer.RollOut(release);
        const OutcomesConnected told;
        const Outcome outcome = RunUpdate(local.Path(), remote, AURL, verification);
        ASSERT_FALSE(outcome.error) << *outcome.error;
        ASSERT_TRUE(outcome.completed);
        EXPECT_EQ(outcome.report.Refusal, TRefusal::None);
        const TUpdateOutcome& came = told.captured->last;
        if (row.expect == Expect::NewFile) {
            // Only the deflated object crossed the wire.
            EXPECT_EQ(came.FilesDeflated, 1u);
            EXPECT_EQ(came.WireBytes, stored.size());
        } else if (row.expect == Expect::NewPlainFile) {
            // The plain object, after however much of the unreadable one came before it was dropped.
            EXPECT_EQ(came.FilesDeflated, 0u);
            EXPECT_GT(came.WireBytes, newModule.size());
            EXPECT_LE(came.WireBytes, newModule.size() + stored.size());
        }
        if (row.expect != Expect::OldFileKeptAltered) {
            EXPECT_EQ(came.FilesFetched, 1u);
            EXPECT_EQ(came.FilesPatched, 0u);
            EXPECT_TRUE(outcome.report.AlteredFiles.empty());
            EXPECT_TRUE(ReadWholeFile(local / L"Admission.exe") == newModule)
                << Held(local / L"Admission.exe");
            EXPECT_EQ(UnixAgeOf(local / L"Admission.exe"), kAge2);
        } else {
            EXPECT_EQ(outcome.report.AlteredFiles, std::vector<std::wstring>{L"Admission.exe"});
            EXPECT_TRUE(ReadWholeFile(local / L"Admission.exe") == oldModule)
                << Held(local / L"Admission.exe");
            EXPECT_EQ(UnixAgeOf(local / L"Admission.exe"), kAge1);
        }
        // No temporary left beside the file, whatever happened to the fetch.
        EXPECT_EQ(FilesUnder(local.Path()), std::vector<std::wstring>{L"Admission.exe"});
    }
}

TEST(DeflatedObjects, FromTheServerFolder) {
    Server server;
    RunRows(server, L"");
}

TEST(DeflatedObjects, FromTheReferenceService) {
    Server server;
    const ReferenceService service(server.folder.Path());
    if (!service.Available()) GTEST_SKIP() << "the reference file service is not built (native tree)";
    RunRows(server, service.URL());
}

}  // namespace

// A release staged into the workstation's store comes from there, before its deflated object: with
// neither object left on the server, only the store can bring it, and it leaves the store.
TEST(DeflatedObjects, AStoredObjectGoesBeforeTheDeflatedOne) {
    Server server;
    TempFolder local;
    SerialKey serials;
    TUpdateVerification verification;
    verification.PublisherKey = server.publisher.PublicKeyText();
    verification.SerialKey = serials.Path();
    verification.Ring = "geral";
    verification.MachineValue = "m";
    const std::string oldModule = Module(1, 0), newModule = Module(2, 0);
    server.releases.AddRelease(1, {{"Admission.exe", oldModule, kAge1}});
    server.RollOut(1);
    ASSERT_EQ(RunUpdate(local.Path(), server.folder.Path(), L"", verification).report.Refusal,
              TRefusal::None);

    server.PublishDeflated(2, newModule, Deflated(newModule));
    const TObjectStore store(local / L"aurevia-cache");
    store.Prepare();
    WriteWholeFile(store.ObjectPath(Sha256Of(newModule)), newModule);
    ASSERT_TRUE(DeleteFileW(server.releases.ObjectFile(newModule).c_str()));
    ASSERT_TRUE(DeleteFileW((server.releases.ObjectFile(newModule) + L".deflate").c_str()));
    server.RollOut(2);

    const OutcomesConnected told;
    Outcome outcome;
    const auto stored = std::make_shared<TStoredObjectsSource>(
        TFilesUpdater::SourceFor(server.folder.Path(), L"", TTransferLimits{}), store);
    TFilesUpdater::New(local.Path(), stored, verification, [&](const TVerificationReport& AReport) {
        outcome.report = AReport;
        outcome.completed = true;
    })->Execute(L"Admission.exe", true);
    PumpUntil([&] { return outcome.completed; }, 60000);
    ASSERT_TRUE(outcome.completed);
    EXPECT_TRUE(ReadWholeFile(local / L"Admission.exe") == newModule) << Held(local / L"Admission.exe");
    EXPECT_EQ(UnixAgeOf(local / L"Admission.exe"), kAge2);
    const TUpdateOutcome& came = told.captured->last;
    EXPECT_EQ(came.FilesFetched, 1u);
    EXPECT_EQ(came.FilesDeflated, 0u);
    EXPECT_EQ(came.WireBytes, 0u);
    EXPECT_EQ(stored->FilesFromStore(), 1u);
    // Moved, not copied, and nothing left beside it.
    EXPECT_EQ(FilesUnder(local.Path()), std::vector<std::wstring>{L"Admission.exe"});
}
