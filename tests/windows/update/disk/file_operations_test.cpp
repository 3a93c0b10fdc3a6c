// The file-system operations the updater fetches with, on real files under Wine.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/error.h"
#include "update/disk/file_ages.h"
#include "update/disk/file_keys.h"
#include "update/disk/file_operations.h"
#include "update/stream/byte_sink_interface.h"
#include "update/updater/shared_files.h"
#include "support/test_files.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

namespace {

FILETIME FileTimeOf(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
    return data.ftLastWriteTime;
}

uint64_t Ticks(const FILETIME& t) { return (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime; }

FILETIME FromTicks(uint64_t ticks) {
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

}  // namespace

TEST(SharedFiles, TableKeepsItsRepeatsAndItsOneRootReport) {
    EXPECT_EQ(kSharedFiles.front(), L"central.ini");
    EXPECT_EQ(kSharedFiles[13], kSharedFiles[1]);
    EXPECT_EQ(kSharedFiles[14], kSharedFiles[7]);
    EXPECT_EQ(kSharedFiles[19], L"Relatorio\\RptSystemAdmin.rav");
    EXPECT_EQ(kSharedFiles.back(), L"RptBloodBank.rav");
}

TEST(FileAges, AgeIsLocalTimeTruncatedToTheMillisecond) {
    TempFolder dir;
    WriteFileAt(dir / L"a.dll", "x", LocalAge(2022, 1, 10, 14, 32, 5, 123));
    // 9999 ticks of 100 ns stay below the next millisecond: the age must not round up.
    const FILETIME exact = FileTimeOf(dir / L"a.dll");
    const FILETIME later = FromTicks(Ticks(exact) + 9999);
    HANDLE file =
        CreateFileW((dir / L"a.dll").c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    SetFileTime(file, nullptr, nullptr, &later);
    CloseHandle(file);

    TDateTime age = 0;
    ASSERT_TRUE(ReadFileAge(dir / L"a.dll", age));
    EXPECT_EQ(age, LocalAge(2022, 1, 10, 14, 32, 5, 123));
    EXPECT_EQ(Ticks(AgeToFileTime(age)), Ticks(exact));
}

TEST(FileAges, UseTheOffsetInEffectNowWhateverTheFilesDate) {
    TIME_ZONE_INFORMATION zone{};
    const DWORD mode = GetTimeZoneInformation(&zone);
    const LONG biasNow = zone.Bias + (mode == TIME_ZONE_ID_DAYLIGHT   ? zone.DaylightBias
                                      : mode == TIME_ZONE_ID_STANDARD ? zone.StandardBias
                                                                      : 0);
    // Noon UTC in winter and in summer: both read with today's offset, so a file's age does not jump
    // by an hour when the clocks change.
    for (const WORD month : {1, 7}) {
        const SYSTEMTIME utc{2022, month, 0, 10, 12, 0, 0, 0};
        FILETIME time{};
        ASSERT_TRUE(SystemTimeToFileTime(&utc, &time));
        EXPECT_TRUE(SameAge(FileTimeToAge(time), LocalAge(2022, month, 10, 12, 0, 0) - biasNow / 1440.0))
            << "month " << month << ", bias now " << biasNow;
        EXPECT_EQ(Ticks(AgeToFileTime(FileTimeToAge(time))), Ticks(time));
    }
}

TEST(FileAges, MissingFileOrFolderKeepsTheCallersValue) {
    TempFolder dir;
    TDateTime age = 42;
    EXPECT_FALSE(ReadFileAge(dir / L"none.dll", age));
    EXPECT_FALSE(ReadFileAge(dir.Path(), age));
    EXPECT_EQ(age, 42);
}

TEST(FileAges, SameAgeComparesWholeMilliseconds) {
    const TDateTime age = LocalAge(2022, 1, 10, 14, 32, 5, 1);
    // The same instant computed another way may differ in its last bit.
    EXPECT_TRUE(SameAge(age, FromMilliseconds(ToMilliseconds(age))));
    EXPECT_FALSE(SameAge(age, LocalAge(2022, 1, 10, 14, 32, 5, 2)));
    EXPECT_FALSE(SameAge(-1, age));
}

TEST(FileKeys, MatchRegardlessOfLetterCase) {
    EXPECT_EQ(FileKey(L"Relatorio\\RptScheduling.rav"), FileKey(L"RELATORIO\\rptscheduling.RAV"));
    EXPECT_EQ(FileKey(L"relat\u00f3rio\\a.rav"), L"RELAT\u00d3RIO\\A.RAV");
    EXPECT_NE(FileKey(L"a.dll"), FileKey(L"b.dll"));
    EXPECT_EQ(FileKey(L""), L"");
}

TEST(FileExists, FilesOnlyAlsoWhenHeldOpen) {
    TempFolder dir;
    WriteFileAt(dir / L"a.dll", "x", LocalAge(2022, 1, 1, 0, 0, 0));
    CreateDirectoryW((dir / L"sub").c_str(), nullptr);
    EXPECT_TRUE(FileExists(dir / L"a.dll"));
    EXPECT_FALSE(FileExists(dir / L"sub"));
    EXPECT_FALSE(FileExists(dir / L"none.dll"));
    const HeldOpen held(dir / L"a.dll");
    EXPECT_TRUE(FileExists(dir / L"a.dll"));
}

TEST(CheckFilePath, RefusesWhatThePlatformCannotTake) {
    TempFolder dir;
    struct Case {
        std::wstring path;
        const char* message;
    };
    const Case cases[] = {
        {dir / std::wstring(260, L'a'), "too long"},
        {L"   ", "empty"},
        {dir / L"bad|name.dll", "Invalid characters in path"},
        {dir / L"a:b.dll", "format is not supported"},
        {dir / L"missing\\a.dll", "The specified path was not found"},
    };
    for (const Case& c : cases) {
        EXPECT_THAT([&] { CheckFilePath(c.path); }, ThrowsMessage<Error>(HasSubstr(c.message))) << c.message;
    }
    EXPECT_NO_THROW(CheckFilePath(dir / L"not-yet-there.dll"));
    EXPECT_NO_THROW(CheckFilePath(L"\\\\?\\" + (dir / std::wstring(200, L'b'))));
}

TEST(DeleteFileChecked, RaisesWhenMissingOrHeldAndKeepsTheFile) {
    TempFolder dir;
    EXPECT_THROW(DeleteFileChecked(dir / L"none.dll"), Error);
    WriteFileAt(dir / L"a.dll", "old", LocalAge(2022, 1, 1, 0, 0, 0));
    {
        const HeldOpen held(dir / L"a.dll");
        EXPECT_THROW(DeleteFileChecked(dir / L"a.dll"), Error);
    }
    EXPECT_EQ(ReadWholeFile(dir / L"a.dll"), "old");
    DeleteFileChecked(dir / L"a.dll");
    EXPECT_FALSE(FileExists(dir / L"a.dll"));
}

TEST(CopyFileNoOverwrite, KeepsTheSourceTimeAndNeverOverwrites) {
    TempFolder dir;
    WriteFileAt(dir / L"src.dll", "new", LocalAge(2021, 3, 4, 5, 6, 7, 8));
    WriteFileAt(dir / L"dst.dll", "old", LocalAge(2020, 1, 1, 0, 0, 0));
    EXPECT_THROW(CopyFileNoOverwrite(dir / L"src.dll", dir / L"dst.dll"), Error);
    EXPECT_EQ(ReadWholeFile(dir / L"dst.dll"), "old");
    EXPECT_THAT([&] { CopyFileNoOverwrite(dir / L"none.dll", dir / L"x.dll"); },
                ThrowsMessage<Error>(HasSubstr("The specified file was not found")));

    CopyFileNoOverwrite(dir / L"src.dll", dir / L"copy.dll");
    EXPECT_EQ(ReadWholeFile(dir / L"copy.dll"), "new");
    EXPECT_EQ(AgeOf(dir / L"copy.dll"), LocalAge(2021, 3, 4, 5, 6, 7, 8));
}

TEST(SetFileAge, MissingFileRaisesAndAHeldFileIsLeftAlone) {
    TempFolder dir;
    EXPECT_THAT([&] { SetFileAge(dir / L"none.dll", 44000); },
                ThrowsMessage<Error>(HasSubstr("The specified file was not found")));
    WriteFileAt(dir / L"a.dll", "x", LocalAge(2022, 1, 1, 0, 0, 0));
    const HeldOpen held(dir / L"a.dll");
    EXPECT_NO_THROW(SetFileAge(dir / L"a.dll", LocalAge(2024, 1, 1, 0, 0, 0)));
    EXPECT_EQ(AgeOf(dir / L"a.dll"), LocalAge(2022, 1, 1, 0, 0, 0));
}

TEST(ForceDirectories, CreatesEveryMissingParentAndRefusesTheImpossible) {
    TempFolder dir;
    ForceDirectories(dir / L"a\\b\\c\\");
    EXPECT_NE(GetFileAttributesW((dir / L"a\\b\\c").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_NO_THROW(ForceDirectories(dir / L"a\\b"));  // already there

    EXPECT_THAT([&] { ForceDirectories(dir / std::wstring(250, L'd')); },
                ThrowsMessage<Error>(HasSubstr("too long")));
    EXPECT_THROW(ForceDirectories(L"Q:\\no\\such\\drive"), Error);
    EXPECT_THROW(ForceDirectories(dir / L"bad|name"), Error);
}

TEST(ListFilesUnder, WalksTheWholeTreeWithHiddenFilesAndEntryAges) {
    TempFolder dir;
    WriteFileAt(dir / L"root.dll", "1", LocalAge(2022, 1, 1, 1, 1, 1, 1));
    WriteFileAt(dir / L"Relatorio\\Rpt.rav", "2", LocalAge(2022, 2, 2, 2, 2, 2, 2));
    WriteFileAt(dir / L"a\\b\\c\\deep.txt", "3", LocalAge(2022, 3, 3, 3, 3, 3, 3));
    WriteFileAt(dir / L"hidden.ini", "4", LocalAge(2022, 4, 4, 4, 4, 4, 4));
    SetFileAttributesW((dir / L"hidden.ini").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    CreateDirectoryW((dir / L"empty").c_str(), nullptr);

    std::vector<TListedFile> files = ListFilesUnder(dir.Path());
    std::vector<std::wstring> names;
    for (const TListedFile& f : files) {
        ASSERT_EQ(f.FullPath.rfind(dir.Path(), 0), 0u) << "begins with the root as written";
        EXPECT_EQ(f.Age, AgeOf(f.FullPath));
        names.push_back(f.FullPath.substr(dir.Path().size()));
    }
    std::sort(names.begin(), names.end());
    EXPECT_THAT(names, ElementsAre(L"Relatorio\\Rpt.rav", L"a\\b\\c\\deep.txt", L"hidden.ini", L"root.dll"));
}

TEST(ListFilesUnder, MissingRootIsPathNotFound) {
    TempFolder dir;
    EXPECT_THAT([&] { ListFilesUnder(dir / L"missing\\"); },
                ThrowsMessage<Error>(HasSubstr("The specified path was not found")));
    EXPECT_TRUE(ListFilesUnder(dir.Path()).empty());
}

TEST(ReplaceWithTemporary, LockedOrReadOnlyTargetKeepsItsContent) {
    TempFolder dir;
    WriteFileAt(dir / L"locked.dll", "old", LocalAge(2022, 1, 1, 0, 0, 0));
    WriteFileAt(dir / L"readonly.dll", "old", LocalAge(2022, 1, 1, 0, 0, 0));
    SetReadOnly(dir / L"readonly.dll", true);
    WriteFileAt(dir / L"plain.dll", "old", LocalAge(2022, 1, 1, 0, 0, 0));
    for (const wchar_t* name : {L"locked.dll", L"readonly.dll", L"plain.dll"}) {
        WriteFileAt(dir / (std::wstring(name) + L".new"), "new", LocalAge(2023, 1, 1, 0, 0, 0));
    }
    {
        const HeldOpen held(dir / L"locked.dll");
        EXPECT_THROW(ReplaceWithTemporary(dir / L"locked.dll.new", dir / L"locked.dll"), Error);
    }
    EXPECT_THROW(ReplaceWithTemporary(dir / L"readonly.dll.new", dir / L"readonly.dll"), Error);
    ReplaceWithTemporary(dir / L"plain.dll.new", dir / L"plain.dll");

    EXPECT_EQ(ReadWholeFile(dir / L"locked.dll"), "old");
    EXPECT_EQ(ReadWholeFile(dir / L"readonly.dll"), "old");
    EXPECT_EQ(ReadWholeFile(dir / L"plain.dll"), "new");
    EXPECT_FALSE(FileExists(dir / L"plain.dll.new"));
}

TEST(TemporaryNameBeside, UniqueInTheTargetsFolder) {
    const std::wstring a = TemporaryNameBeside(L"C:\\Aurevia\\Relatorio\\Rpt.rav");
    const std::wstring b = TemporaryNameBeside(L"C:\\Aurevia\\Relatorio\\Rpt.rav");
    EXPECT_EQ(a.rfind(L"C:\\Aurevia\\Relatorio\\", 0), 0u);
    EXPECT_NE(a, b);
}

TEST(CopyFileInto, ContinuesFromAnOffsetTheFileStillHoldsAndStartsOverPastItsEnd) {
    // Records where the copy said it starts and what it wrote, as a partial object's sink sees it.
    struct RecordingSink final : IByteSink {
        uint64_t begun = ~uint64_t{0};
        std::string bytes;
        void Begin(uint64_t AOffset, std::optional<uint64_t>) override { begun = AOffset; }
        void Write(const char* AData, size_t ASize) override { bytes.append(AData, ASize); }
    };
    TempFolder dir;
    WriteWholeFile(dir / L"object", "0123456789");
    const struct {
        uint64_t from, begun;
        std::string written;
    } cases[] = {{0, 0, "0123456789"}, {4, 4, "456789"}, {10, 10, ""}, {11, 0, "0123456789"}};
    for (const auto& c : cases) {
        RecordingSink sink;
        CopyFileInto(dir / L"object", sink, nullptr, c.from);
        EXPECT_EQ(sink.begun, c.begun) << "from " << c.from;
        EXPECT_EQ(sink.bytes, c.written) << "from " << c.from;
    }
}
