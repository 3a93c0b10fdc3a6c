// The rules of the report folder beside the launcher.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>

#include "launcher/catalogue/folders.h"
#include "support/temp_folder.h"

using test_support::TempFolder;

TEST(ReportFolder, CreatedWhenMissingAndAnExistingOneIsLeftAlone) {
    TempFolder temp;
    const std::wstring folder = (temp.Dir() / L"Relatorio").wstring();
    ASSERT_TRUE(EnsureFolder(folder));
    EXPECT_TRUE(FolderExists(folder));

    std::ofstream(temp.Dir() / L"Relatorio" / L"kept.rav") << "report";
    ASSERT_TRUE(EnsureFolder(folder));
    EXPECT_TRUE(std::filesystem::exists(temp.Dir() / L"Relatorio" / L"kept.rav"));
}

TEST(ReportFolder, FileInTheWayOrMissingParentFails) {
    TempFolder temp;
    std::ofstream(temp.Dir() / L"Relatorio") << "not a folder";
    EXPECT_FALSE(FolderExists((temp.Dir() / L"Relatorio").wstring()));
    EXPECT_FALSE(EnsureFolder((temp.Dir() / L"Relatorio").wstring()));
    // Only one level is created.
    EXPECT_FALSE(EnsureFolder((temp.Dir() / L"missing" / L"Relatorio").wstring()));
}

TEST(ReportFolder, LinkToAFolderCountsAsExisting) {
    TempFolder temp;
    std::filesystem::create_directories(temp.Dir() / L"target");
    const std::wstring link = (temp.Dir() / L"Relatorio").wstring();
    if (!CreateSymbolicLinkW(link.c_str(), (temp.Dir() / L"target").c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY))
        GTEST_SKIP() << "symbolic links unavailable here (error " << GetLastError() << ")";
    // Wine 8 creates the link but cannot resolve it afterwards: nothing to measure there.
    if (GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES)
        GTEST_SKIP() << "this platform cannot resolve its own link";
    EXPECT_TRUE(FolderExists(link));
    EXPECT_TRUE(EnsureFolder(link));
}
