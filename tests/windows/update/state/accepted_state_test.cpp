// Each "user" is a registry key of its own under HKEY_CURRENT_USER: what a second Windows user of the
// same installation brings is exactly another HKCU (and nothing in it).
#include <gtest/gtest.h>
#include <windows.h>

#include "base/error.h"
#include "support/test_files.h"
#include "update/state/accepted_state.h"
#include "update/trust/document_text.h"

namespace {

class UserKey {
  public:
    UserKey() {
        static int counter = 0;
        path_ = L"Software\\AureviaTest\\state-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(++counter);
    }
    ~UserKey() { RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str()); }
    UserKey(const UserKey&) = delete;
    UserKey& operator=(const UserKey&) = delete;
    const std::wstring& Path() const { return path_; }
    // As a launcher before the state file left it.
    void Holds(const wchar_t* AValue, uint64_t ASerial) const {
        ASSERT_EQ(
            RegSetKeyValueW(HKEY_CURRENT_USER, path_.c_str(), AValue, REG_QWORD, &ASerial, sizeof(ASerial)),
            ERROR_SUCCESS);
    }
    std::optional<uint64_t> Value(const wchar_t* AValue) const {
        return TAcceptedSerial(path_, AValue).Highest();
    }

  private:
    std::wstring path_;
};

TSha256 Bytes(uint8_t fill) {
    TSha256 hash{};
    hash.fill(fill);
    return hash;
}

size_t FilesIn(const TempFolder& AFolder) {
    size_t count = 0;
    WIN32_FIND_DATAW found;
    const HANDLE find = FindFirstFileW((AFolder / L"*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return 0;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ++count;
    } while (FindNextFileW(find, &found));
    FindClose(find);
    return count;
}

TEST(AcceptedState, WhatOneUserAcceptedBindsEveryUserOfTheInstallation) {
    const TempFolder program;
    const std::wstring file = program / kAcceptedStateFileName;
    const UserKey first, second;
    {
        TAcceptedState state(file, first.Path());
        EXPECT_EQ(state.Accepted(TAcceptedDocument::Rollout), std::nullopt);
        state.Raise(TAcceptedDocument::Rollout, 1765400002, Bytes(2));
        state.Raise(TAcceptedDocument::Rollout, 1765400001, Bytes(1));  // lower: kept as it was
        state.Raise(TAcceptedDocument::Manifest, 7, Bytes(7));
        EXPECT_EQ(state.Highest(TAcceptedDocument::Rollout), std::optional<uint64_t>(1765400002));
    }
    EXPECT_EQ(ReadWholeFile(file),
              R"({"format":"aurevia-state/1","accepted":{"manifest":{"serial":7,"sha256":")" +
                  document_text::HexOf(Bytes(7)) + R"("},"rollout":{"serial":1765400002,"sha256":")" +
                  document_text::HexOf(Bytes(2)) + "\"}}}\n");
    EXPECT_EQ(FilesIn(program), 1u) << "a temporary was left beside the state file";
    EXPECT_EQ(first.Value(kRolloutSerialRegistryValue), std::nullopt) << "the user's registry was written";

    // A user who never ran the launcher: nothing in their registry, the installation's state all the same.
    const TAcceptedState other(file, second.Path());
    const std::optional<TAcceptedSigning> rollout = other.Accepted(TAcceptedDocument::Rollout);
    ASSERT_TRUE(rollout);
    EXPECT_EQ(rollout->Serial, 1765400002u);
    EXPECT_EQ(rollout->Sha256, Bytes(2));
    EXPECT_EQ(other.Highest(TAcceptedDocument::Manifest), std::optional<uint64_t>(7));
}

TEST(AcceptedState, SerialsInTheUsersRegistryMoveIntoTheFileAndTheHigherWins) {
    const struct {
        const char* what;
        std::optional<uint64_t> fileRollout;  // in the state file before
        uint64_t registryRollout;
        uint64_t expected;
        bool bytesKept;  // the file's bytes of its serial survive
    } cases[] = {
        {"no file yet", std::nullopt, 40, 40, false},
        {"registry higher", 30, 40, 40, false},
        {"file higher", 50, 40, 50, true},
        {"the same serial", 40, 40, 40, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const TempFolder program;
        const std::wstring file = program / kAcceptedStateFileName;
        const UserKey user;
        if (c.fileRollout) {
            const UserKey writer;
            TAcceptedState(file, writer.Path()).Raise(TAcceptedDocument::Rollout, *c.fileRollout, Bytes(9));
        }
        user.Holds(kRolloutSerialRegistryValue, c.registryRollout);
        user.Holds(kSerialRegistryValue, 12);

        const TAcceptedState state(file, user.Path());
        EXPECT_EQ(state.Highest(TAcceptedDocument::Rollout), std::optional<uint64_t>(c.expected));
        EXPECT_EQ(state.Highest(TAcceptedDocument::Manifest), std::optional<uint64_t>(12));
        // Moved, not copied: the file decides from now on.
        EXPECT_EQ(user.Value(kRolloutSerialRegistryValue), std::nullopt);
        EXPECT_EQ(user.Value(kSerialRegistryValue), std::nullopt);
        const TAcceptedRecord onDisk = DecodeAcceptedState(ReadWholeFile(file));
        EXPECT_EQ(onDisk.at("rollout").Serial, c.expected);
        EXPECT_EQ(onDisk.at("manifest").Serial, 12u);
        EXPECT_EQ(onDisk.at("rollout").Sha256.has_value(), c.bytesKept);
    }
}

// A program folder this user cannot write: the raise lands in the user's registry, the update goes
// on, and the next run that can write the folder takes it into the file.
TEST(AcceptedState, AnUnwritableProgramFolderKeepsTheRaiseInTheUsersRegistryUntilItCanBeWritten) {
    const TempFolder program;
    const UserKey user;
    const std::wstring unwritable = program / L"no-such-folder\\" + kAcceptedStateFileName;
    {
        TAcceptedState state(unwritable, user.Path());
        EXPECT_NO_THROW(state.Raise(TAcceptedDocument::Rollout, 88, Bytes(8)));
        EXPECT_EQ(state.Highest(TAcceptedDocument::Rollout), std::optional<uint64_t>(88));
    }
    EXPECT_EQ(user.Value(kRolloutSerialRegistryValue), std::optional<uint64_t>(88));
    EXPECT_EQ(TAcceptedState(unwritable, user.Path()).Highest(TAcceptedDocument::Rollout),
              std::optional<uint64_t>(88));

    const std::wstring file = program / kAcceptedStateFileName;
    EXPECT_EQ(TAcceptedState(file, user.Path()).Highest(TAcceptedDocument::Rollout),
              std::optional<uint64_t>(88));
    EXPECT_EQ(DecodeAcceptedState(ReadWholeFile(file)).at("rollout").Serial, 88u);
    EXPECT_EQ(user.Value(kRolloutSerialRegistryValue), std::nullopt);
}

// Under a trust root each serial epoch keeps its own serials: a new epoch starts at its floor (a
// stolen key's 2^62 stops binding) while the earlier epoch's serials stay as they were, and an
// acceptance under a root that no file can keep is an error, never a silent loss.
TEST(AcceptedState, EachSerialEpochKeepsItsOwnSerialsAndARootIsKeptOnlyInTheFile) {
    const TempFolder program;
    const UserKey user;
    const std::wstring file = program / kAcceptedStateFileName;
    constexpr uint64_t kStolen = uint64_t{1} << 62;
    {
        TAcceptedState state(file, user.Path());
        state.Raise(TAcceptedDocument::Rollout, kStolen, Bytes(1));
        state.FollowEpoch(1, 500);
        EXPECT_EQ(state.Highest(TAcceptedDocument::Rollout), std::optional<uint64_t>(500)) << "the floor";
        EXPECT_EQ(state.Highest(TAcceptedDocument::Manifest), std::nullopt) << "never followed: none";
        state.Raise(TAcceptedDocument::Rollout, 900, Bytes(2));
        state.Raise(TAcceptedDocument::Root, 3, Bytes(3));
    }
    const TAcceptedRecord kept = DecodeAcceptedState(ReadWholeFile(file));
    EXPECT_EQ(kept.at("rollout").Serial, kStolen);
    EXPECT_EQ(kept.at("rollout@1").Serial, 900u);
    EXPECT_EQ(kept.at("root").Serial, 3u);
    TAcceptedState again(file, user.Path());
    again.FollowEpoch(1, 500);
    EXPECT_EQ(again.Highest(TAcceptedDocument::Rollout), std::optional<uint64_t>(900));
    again.FollowEpoch(2, 0);
    EXPECT_EQ(again.Highest(TAcceptedDocument::Rollout), std::optional<uint64_t>(0));

    TAcceptedState unwritable(program / L"no-such-folder\\" + kAcceptedStateFileName, user.Path());
    EXPECT_THROW(unwritable.Raise(TAcceptedDocument::Root, 1, Bytes(4)), Error);
    unwritable.FollowEpoch(1, 0);
    EXPECT_THROW(unwritable.Raise(TAcceptedDocument::Manifest, 7, Bytes(5)), Error);
    EXPECT_EQ(user.Value(kSerialRegistryValue), std::nullopt) << "the registry knows no epochs";
}

// The deployment is kept once for the installation: a second launcher that meanwhile accepted a
// document of another deployment does not move it, and a raise by a launcher that read the file
// before it was kept does not drop it.
TEST(AcceptedState, TheFirstDeploymentKeptBindsTheInstallation) {
    const TempFolder program;
    const std::wstring file = program / kAcceptedStateFileName;
    const UserKey first, second;
    TAcceptedState earlier(file, second.Path());  // read while the file held nothing
    {
        TAcceptedState state(file, first.Path());
        EXPECT_EQ(state.Deployment(), "");
        state.KeepDeployment("producao");
        state.KeepDeployment("homologacao");
        EXPECT_EQ(state.Deployment(), "producao");
    }
    TAcceptedState racing(file, second.Path());
    EXPECT_EQ(racing.Deployment(), "producao");
    earlier.KeepDeployment("homologacao");
    EXPECT_EQ(earlier.Deployment(), "producao") << "the file's, kept first";
    earlier.Raise(TAcceptedDocument::Rollout, 9, Bytes(9));
    std::string kept;
    EXPECT_EQ(DecodeAcceptedState(ReadWholeFile(file), &kept).at("rollout").Serial, 9u);
    EXPECT_EQ(kept, "producao");

    TAcceptedState unwritable(program / L"no-such-folder\\" + kAcceptedStateFileName, first.Path());
    EXPECT_THROW(unwritable.KeepDeployment("producao"), Error) << "a binding not remembered binds nothing";
}

// A damaged state file costs what it held, not the update, and is written whole at the next raise.
TEST(AcceptedState, ADamagedStateFileIsReplacedWholeAtTheNextRaise) {
    const TempFolder program;
    const std::wstring file = program / kAcceptedStateFileName;
    const UserKey user;
    WriteWholeFile(file, R"({"format":"aurevia-state/1","accepted":{"rollout":{"ser)");
    TAcceptedState state(file, user.Path());
    EXPECT_EQ(state.Accepted(TAcceptedDocument::Rollout), std::nullopt);
    state.Raise(TAcceptedDocument::Rollout, 5, Bytes(5));
    EXPECT_EQ(DecodeAcceptedState(ReadWholeFile(file)).at("rollout").Serial, 5u);
}

}  // namespace
