// Telling a fetch's temporary file, and its process, from any other file in the program folder.
#include <gtest/gtest.h>

#include "update/disk/temporary_names.h"

TEST(TemporaryNames, OnlyTheFetchesOwnPatternNamesAProcess) {
    struct Case {
        const wchar_t* name;
        std::optional<uint32_t> owner;
    };
    const Case cases[] = {
        {L"~aur1234-1.tmp", 1234u},
        {L"~AUR77-12.TMP", 77u},
        {L"~aur4294967295-3.tmp", 4294967295u},
        {L"~aur4294967296-3.tmp", std::nullopt},  // no 32-bit process id
        {L"~aur1234.tmp", std::nullopt},
        {L"~aur-1.tmp", std::nullopt},
        {L"~aur12-.tmp", std::nullopt},
        {L"~aur12-x.tmp", std::nullopt},
        {L"~aur12-1.tmp.bak", std::nullopt},
        {L"aur12-1.tmp", std::nullopt},
        {L"~aur+12-1.tmp", std::nullopt},
        {L"Admission.exe", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(TemporaryOwner(c.name), c.owner) << testing::PrintToString(std::wstring(c.name));
}
