#include <gtest/gtest.h>

#include "launcher/self_update/launcher_files.h"
#include "launcher/self_update/self_update.h"
#include "base/handles.h"
#include "cases/version_string_cases.h"
#include "support/test_publisher.h"
#include "windows/launcher/test_files.h"

namespace {

using namespace testfiles;
using Version = std::array<std::uint16_t, 4>;

constexpr Version kOld{2022, 2, 8249, 63552};
constexpr Version kNew{2022, 2, 8250, 63552};

// A server folder and a launcher folder that is also the current directory, as the launcher sees
// them when it is started from its own folder.
class SelfUpdate : public ::testing::Test {
  protected:
    TempFolder temp;
    std::wstring server = temp.Folder(L"server");
    fs::path local = temp.Folder(L"local");
    CurrentDirectoryScope cwd{local};

    void PutServer(Version v) { CopyWithFileVersion(ThisProgram(), server + L"Aurevia.EXE", v); }
    void PutLocal(Version v) { CopyWithFileVersion(ThisProgram(), local / L"Aurevia.EXE", v); }
    std::wstring VersionOfLocal(const wchar_t* name) { return FileVersionOf((local / name).wstring()); }
};

TEST(FileVersionOf, ReadsTheFixedFileVersionAndShortensIt) {
    TempFolder temp;
    for (const auto& c : kVersionStringCases) {
        const auto file = temp.Dir() / L"v.exe";
        CopyWithFileVersion(ThisProgram(), file, {c.parts[0], c.parts[1], c.parts[2], c.parts[3]});
        EXPECT_EQ(FileVersionOf(file.wstring()), c.text);
    }
}

TEST(FileVersionOf, IsEmptyForAMissingFileOrOneWithoutVersionInformation) {
    TempFolder temp;
    WriteBytes(temp.Dir() / L"plain.exe", "not a program");
    EXPECT_EQ(FileVersionOf((temp.Dir() / L"missing.exe").wstring()), L"");
    EXPECT_EQ(FileVersionOf((temp.Dir() / L"plain.exe").wstring()), L"");
}

TEST(FileSizeOf, GivesTheSizeEvenOfAnUnsharedFileAndMinusOneForAMissingOne) {
    TempFolder temp;
    const auto file = temp.Dir() / L"five";
    WriteBytes(file, "12345");
    const unique_file held(CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    EXPECT_EQ(FileSizeOf(file.wstring()), 5);
    EXPECT_EQ(FileSizeOf((temp.Dir() / L"missing").wstring()), -1);
    EXPECT_EQ(FileSizeOf(temp.Dir().wstring()), -1) << "a folder is no file";
}

TEST_F(SelfUpdate, OnlyAnotherVersionReplacesTheLauncher) {
    struct Case {
        Version local, server;
        bool replaced;
    };
    const Case cases[] = {
        {kOld, kOld, false},
        // Builds whose short forms read alike are still other builds.
        {kOld, {2022, 2, 8249, 63553}, true},       // both read 22.2.49.65
        {{2022, 2, 0, 2}, {2022, 2, 0, 12}, true},  // both read 22.2.0.2
        {kOld, kNew, true},
        {kNew, kOld, true},  // a lower server version counts too: only inequality matters
    };
    for (const auto& c : cases) {
        ClearFolder(local);
        PutLocal(c.local);
        PutServer(c.server);
        const std::string before = ReadBytes(local / L"Aurevia.EXE");

        const auto outcome = ReplaceLauncherFromServer(server);

        if (c.replaced) {
            EXPECT_EQ(outcome, TSelfUpdateOutcome::Replaced);
            EXPECT_EQ(ReadBytes(local / L"Aurevia.EXE"), ReadBytes(server + L"Aurevia.EXE"));
            EXPECT_EQ(ReadBytes(local / L"Aurevia.OLD"), before);
        } else {
            EXPECT_EQ(outcome, TSelfUpdateOutcome::UpToDate);
            EXPECT_EQ(ReadBytes(local / L"Aurevia.EXE"), before);
            EXPECT_FALSE(Exists(local / L"Aurevia.OLD"));
        }
        EXPECT_FALSE(Exists(local / L"Aurevia.NEW"));
    }
}

TEST_F(SelfUpdate, ASwapReplacesAnEarlierOldLauncher) {
    PutLocal(kOld);
    PutServer(kNew);
    WriteBytes(local / L"Aurevia.OLD", "an older launcher");
    ASSERT_EQ(ReplaceLauncherFromServer(server), TSelfUpdateOutcome::Replaced);
    EXPECT_EQ(VersionOfLocal(L"Aurevia.OLD"), L"22.2.49.65");
    EXPECT_EQ(VersionOfLocal(L"Aurevia.EXE"), L"22.2.50.65");
}

TEST_F(SelfUpdate, NothingHappensWithoutTwoReadableVersions) {
    // No server copy; a server copy without version information; no local launcher at all (a
    // launcher started with another current directory). None of them leaves a file behind.
    PutLocal(kOld);
    EXPECT_EQ(ReplaceLauncherFromServer(server), TSelfUpdateOutcome::UpToDate);
    WriteBytes(server + L"Aurevia.EXE", "no version here");
    EXPECT_EQ(ReplaceLauncherFromServer(server), TSelfUpdateOutcome::UpToDate);
    // A server copy held open without sharing has no readable version either, so no copy is tried.
    PutServer(kNew);
    {
        const unique_file held(CreateFileW((server + L"Aurevia.EXE").c_str(), GENERIC_READ, 0, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held);
        EXPECT_EQ(ReplaceLauncherFromServer(server), TSelfUpdateOutcome::UpToDate);
    }
    fs::remove(local / L"Aurevia.EXE");
    EXPECT_EQ(ReplaceLauncherFromServer(server), TSelfUpdateOutcome::UpToDate);
    EXPECT_FALSE(Exists(local / L"Aurevia.EXE"));
    EXPECT_FALSE(Exists(local / L"Aurevia.NEW"));
}

TEST_F(SelfUpdate, ACopyThatCannotBeWrittenLeavesTheLauncherInPlace) {
    PutLocal(kOld);
    PutServer(kNew);
    WriteBytes(local / L"Aurevia.NEW", "stale");
    const unique_file held(
        CreateFileW((local / L"Aurevia.NEW").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    const std::string before = ReadBytes(local / L"Aurevia.EXE");

    EXPECT_EQ(ReplaceLauncherFromServer(server), TSelfUpdateOutcome::CopyFailed);
    EXPECT_EQ(ReadBytes(local / L"Aurevia.EXE"), before);
    EXPECT_FALSE(Exists(local / L"Aurevia.OLD"));
}

TEST_F(SelfUpdate, AFailedRenamePutsThePreviousLauncherBack) {
    // Held open without delete sharing, a file cannot be renamed: first the running launcher itself
    // (first rename), then the fresh copy (second rename, after the launcher has been moved away).
    struct Case {
        const wchar_t* heldName;
        bool newRemoved;
    };
    for (const Case c : {Case{L"Aurevia.EXE", true}, Case{L"Aurevia.NEW", false}}) {
        ClearFolder(local);
        PutLocal(kOld);
        PutServer(kNew);
        if (!Exists(local / c.heldName)) WriteBytes(local / c.heldName, "placeholder");
        const std::string before = ReadBytes(local / L"Aurevia.EXE");
        {
            const unique_file held(CreateFileW((local / c.heldName).c_str(), GENERIC_READ,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                               nullptr));
            ASSERT_TRUE(held);

            EXPECT_EQ(ReplaceLauncherFromServer(server), TSelfUpdateOutcome::CopyFailed) << c.heldName;
        }
        EXPECT_EQ(ReadBytes(local / L"Aurevia.EXE"), before) << c.heldName;
        EXPECT_EQ(VersionOfLocal(L"Aurevia.EXE"), L"22.2.49.65") << c.heldName;
        EXPECT_FALSE(Exists(local / L"Aurevia.OLD")) << c.heldName;
        // A held fresh copy cannot be deleted either; the next attempt overwrites it.
        EXPECT_EQ(Exists(local / L"Aurevia.NEW"), !c.newRemoved) << c.heldName;
    }
}

TEST_F(SelfUpdate, WithAKeyOnlyTheLauncherTheAcceptedManifestListsIsSwappedIn) {
    const TestPublisher publisher;
    const std::wstring serialKey =
        L"Software\\AureviaTest\\selfupdate-" + std::to_wstring(GetCurrentProcessId());
    const TUpdateVerification verification{publisher.PublicKeyText(), serialKey};
    const int64_t kMonth = 30 * 86400;
    struct Case {
        const char* why;
        void (*prepare)(const TestPublisher&, const std::wstring& server, int64_t month);
        TSelfUpdateOutcome outcome;
    };
    const Case cases[] = {
        {"signed",
         [](const TestPublisher& p, const std::wstring& s, int64_t m) {
             p.PublishFolder(s, 5, UnixNowPlus(m));
         },
         TSelfUpdateOutcome::Replaced},
        {"tampered after signing",
         [](const TestPublisher& p, const std::wstring& s, int64_t m) {
             p.PublishFolder(s, 5, UnixNowPlus(m));
             std::string bytes = ReadBytes(s + L"Aurevia.EXE");
             bytes[bytes.size() / 2] ^= 0x20;
             WriteBytes(s + L"Aurevia.EXE", bytes);
         },
         TSelfUpdateOutcome::CopyFailed},
        {"not in the manifest",
         [](const TestPublisher& p, const std::wstring& s, int64_t m) {
             p.Publish(s, TReleaseManifest{5, UnixNowPlus(m), {TestPublisher::Entry("other.dll", "x")}});
         },
         TSelfUpdateOutcome::CopyFailed},
        {"expired manifest",
         [](const TestPublisher& p, const std::wstring& s, int64_t) {
             p.PublishFolder(s, 5, UnixNowPlus(-1));
         },
         TSelfUpdateOutcome::CopyFailed},
        {"no manifest", [](const TestPublisher&, const std::wstring&, int64_t) {},
         TSelfUpdateOutcome::CopyFailed},
    };
    for (const Case& c : cases) {
        ClearFolder(local);
        ClearFolder(server);
        PutLocal(kOld);
        PutServer(kNew);
        c.prepare(publisher, server, kMonth);
        const std::string before = ReadBytes(local / L"Aurevia.EXE");

        EXPECT_EQ(ReplaceLauncherFromServer(server, verification), c.outcome) << c.why;

        if (c.outcome == TSelfUpdateOutcome::Replaced) {
            EXPECT_EQ(ReadBytes(local / L"Aurevia.EXE"), ReadBytes(server + L"Aurevia.EXE")) << c.why;
        } else {
            EXPECT_EQ(ReadBytes(local / L"Aurevia.EXE"), before) << c.why;
            EXPECT_FALSE(Exists(local / L"Aurevia.OLD")) << c.why;
        }
        EXPECT_FALSE(Exists(local / L"Aurevia.NEW")) << c.why;
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, serialKey.c_str());
}

TEST_F(SelfUpdate, TheLocalLauncherIsTheCurrentDirectorysNotTheProgramsFolder) {
    EXPECT_EQ(fs::path(LocalLauncherPath()), local / L"Aurevia.EXE");
}

}  // namespace
