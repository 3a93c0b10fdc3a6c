// A changed file brought by a binary patch from the version the workstation holds, through the files
// updater over a real server folder: the patch alone suffices (the whole object is taken off the
// server), and every patch that cannot be used (none from the local file, damaged, making the wrong
// content) falls back to the whole object with the right file in place.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "../updater/verified_update_run.h"
#include "base/string_convert.h"
#include "common/binary_patch.h"
#include "support/test_files.h"
#include "support/test_publisher.h"
#include "support/test_release_server.h"

namespace {

const int64_t kOldAge = UnixUtc(2025, 1, 10, 10, 0, 1);
const int64_t kNewAge = UnixUtc(2026, 2, 11, 11, 0, 3);

std::string Build(char AVersion) {
    std::string bytes;
    for (int i = 0; i < 20000; ++i) bytes += static_cast<char>((i * 7919) >> 3 & 0xff);
    for (size_t at = 1000; at < bytes.size(); at += 3000) bytes[at] = AVersion;  // moved addresses
    return bytes;
}

const std::string kOld = Build('a');
const std::string kNew = Build('b') + "one function more";

// The patch from `AFrom` that makes `ATo` (the same length or longer), as the publisher would list it.
std::string PatchOf(const std::string& AFrom, const std::string& ATo) {
    TPatchContent content;
    content.OldSize = AFrom.size();
    content.NewSize = ATo.size();
    content.Controls = {{AFrom.size(), ATo.size() - AFrom.size(), 0}};
    for (size_t i = 0; i < AFrom.size(); ++i) content.Diff += static_cast<char>(ATo[i] - AFrom[i]);
    content.Extra = ATo.substr(AFrom.size());
    return EncodeBinaryPatch(content);
}

std::wstring ObjectAt(const std::wstring& AServer, const TSha256& ASha256) {
    std::wstring path = AServer + Utf8ToWide(ObjectPath(ASha256));
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

struct PatchCase {
    const char* what;
    // Runs once the workstation holds the old version, before release 2 is published; returns the
    // patch that release 2 lists for the module (its object is stored under its SHA-256).
    std::function<std::string(const std::wstring& ALocal)> prepare;
    bool wholeObjectServed;  // false: only the patch can bring the new version
    bool patchFetched;       // the patch crossed the wire, whether used or refused
    std::function<void(std::string& APatchObject)> damage = {};
};

const PatchCase kCases[] = {
    {"a patch from the local version: the patch alone",
     [](const std::wstring&) { return PatchOf(kOld, kNew); }, false, true},
    {"the local file altered by hand: no patch starts from it, the whole object",
     [](const std::wstring& ALocal) {
         WriteWholeFile(ALocal + L"Admission.exe", kOld + "x");
         return PatchOf(kOld, kNew);
     },
     true, false},
    {"a damaged patch: refused by its SHA-256, the whole object",
     [](const std::wstring&) { return PatchOf(kOld, kNew); }, true, true,
     [](std::string& APatchObject) { APatchObject[APatchObject.size() / 2] ^= 0x20; }},
    {"a signed patch that makes the wrong content: refused by the file's SHA-256, the whole object",
     [](const std::wstring&) {
         std::string wrong = kNew;
         wrong[5] ^= 1;
         return PatchOf(kOld, wrong);
     },
     true, true},
};

TEST(PatchUpdate, PatchesBringTheFileOrFallBackToTheWholeObject) {
    for (const PatchCase& c : kCases) {
        SCOPED_TRACE(c.what);
        TempFolder server, local;
        const TestPublisher publisher;
        const TestReleaseServer releases(publisher, server.Path());
        SerialKey serialKey;
        TUpdateVerification verification;
        verification.PublisherKey = publisher.PublicKeyText();
        verification.SerialKey = serialKey.Path();
        verification.Ring = "geral";
        verification.MachineValue = "ws";

        releases.AddRelease(1, {{"Admission.exe", kOld, kOldAge}});
        releases.SetRollout(TRollout{1, UnixNowPlus(86400), {{"geral", 1, std::nullopt, 100}}});
        Outcome outcome = RunUpdate(local.Path(), server.Path(), L"", verification);
        ASSERT_FALSE(outcome.error) << *outcome.error;
        ASSERT_TRUE(ReadWholeFile(local / L"Admission.exe") == kOld);

        std::string patch = c.prepare(local.Path());
        const TSha256 patchSha256 = OneShotSha256(patch);
        if (c.damage) c.damage(patch);
        WriteWholeFile(ObjectAt(server.Path(), patchSha256), patch);
        releases.AddRelease(2, {{"Admission.exe", kNew, kNewAge}}, [&](TRelease& ARelease) {
            ARelease.Files[0].Patches = {{OneShotSha256(kOld), patchSha256, patch.size()}};
        });
        if (!c.wholeObjectServed) {
            ASSERT_TRUE(DeleteFileW(releases.ObjectFile(kNew).c_str()));
        }
        releases.SetRollout(TRollout{2, UnixNowPlus(86400), {{"geral", 2, 1, 100}}});

        const OutcomesConnected told;
        outcome = RunUpdate(local.Path(), server.Path(), L"", verification);
        ASSERT_FALSE(outcome.error) << *outcome.error;
        EXPECT_TRUE(outcome.report.AlteredFiles.empty());
        // How the file came and what it cost the wire, as IT reads it: a refused patch's bytes count.
        const TUpdateOutcome& came = told.captured->last;
        EXPECT_EQ(came.FilesFetched, 1u);
        EXPECT_EQ(came.FilesPatched, c.wholeObjectServed ? 0u : 1u);
        EXPECT_EQ(came.FilesDeflated, 0u);
        EXPECT_EQ(came.WireBytes,
                  (c.patchFetched ? patch.size() : 0) + (c.wholeObjectServed ? kNew.size() : 0));
        EXPECT_TRUE(ReadWholeFile(local / L"Admission.exe") == kNew) << "not the new version";
        EXPECT_EQ(UnixAgeOf(local / L"Admission.exe"), kNewAge);

        // Up to date: nothing is fetched, not even with the server's objects gone.
        DeleteFileW(releases.ObjectFile(kNew).c_str());
        DeleteFileW((ObjectAt(server.Path(), patchSha256)).c_str());
        outcome = RunUpdate(local.Path(), server.Path(), L"", verification);
        ASSERT_FALSE(outcome.error) << *outcome.error;
        EXPECT_TRUE(outcome.report.Clean());
        EXPECT_TRUE(ReadWholeFile(local / L"Admission.exe") == kNew) << "not the new version";
    }
}

// With neither a usable patch nor the whole object, the update fails for that file and the old
// version stays, whole and with its age.
TEST(PatchUpdate, WithoutPatchOrObjectTheOldFileStays) {
    TempFolder server, local;
    const TestPublisher publisher;
    const TestReleaseServer releases(publisher, server.Path());
    SerialKey serialKey;
    TUpdateVerification verification;
    verification.PublisherKey = publisher.PublicKeyText();
    verification.SerialKey = serialKey.Path();
    verification.Ring = "geral";
    verification.MachineValue = "ws";
    releases.AddRelease(1, {{"Admission.exe", kOld, kOldAge}});
    releases.SetRollout(TRollout{1, UnixNowPlus(86400), {{"geral", 1, std::nullopt, 100}}});
    ASSERT_FALSE(RunUpdate(local.Path(), server.Path(), L"", verification).error);

    std::string wrong = kNew;
    wrong[5] ^= 1;
    const std::string patch = PatchOf(kOld, wrong);
    const TSha256 patchSha256 = OneShotSha256(patch);
    WriteWholeFile(ObjectAt(server.Path(), patchSha256), patch);
    releases.AddRelease(2, {{"Admission.exe", kNew, kNewAge}}, [&](TRelease& ARelease) {
        ARelease.Files[0].Patches = {{OneShotSha256(kOld), patchSha256, patch.size()}};
    });
    ASSERT_TRUE(DeleteFileW(releases.ObjectFile(kNew).c_str()));
    releases.SetRollout(TRollout{2, UnixNowPlus(86400), {{"geral", 2, 1, 100}}});
    RunUpdate(local.Path(), server.Path(), L"", verification);
    EXPECT_TRUE(ReadWholeFile(local / L"Admission.exe") == kOld) << "not the old version";
    EXPECT_EQ(UnixAgeOf(local / L"Admission.exe"), kOldAge);
}

}  // namespace
