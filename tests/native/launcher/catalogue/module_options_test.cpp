#include <gtest/gtest.h>

#include "launcher/catalogue/module_options.h"
#include "base/error.h"

namespace {
// The catalogue only compares tiles by address: stand-ins will do.
const TImage* Tile(int n) { return reinterpret_cast<const TImage*>(static_cast<uintptr_t>(0x1000 + 16 * n)); }
}  // namespace

TEST(ModuleOptions, FindsEachTileItsOwnEntryAndMissesWithTheEmptyEntry) {
    TModuleOptions options;
    options.AddModule(Tile(1), L"Admission.exe", true);
    options.AddModule(Tile(2), L"Supremo.exe", false);

    TModuleInfo info;
    ASSERT_TRUE(options.TryGetModule(Tile(1), info));
    EXPECT_EQ(info.FModuleName, L"Admission.exe");
    EXPECT_TRUE(info.FAdditionalFiles);
    ASSERT_TRUE(options.TryGetModule(Tile(2), info));
    EXPECT_EQ(info.FModuleName, L"Supremo.exe");
    EXPECT_FALSE(info.FAdditionalFiles);

    // A miss overwrites whatever the entry held before.
    EXPECT_FALSE(options.TryGetModule(Tile(3), info));
    EXPECT_EQ(info.FModuleName, L"");
    EXPECT_FALSE(info.FAdditionalFiles);
}

TEST(ModuleOptions, RefusesASecondEntryForTheSameTileAndKeepsTheFirst) {
    TModuleOptions options;
    options.AddModule(Tile(1), L"Admission.exe", true);
    try {
        options.AddModule(Tile(1), L"Other.exe", false);
        FAIL() << "a duplicate was accepted";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "Duplicates not allowed");
    }
    TModuleInfo info;
    ASSERT_TRUE(options.TryGetModule(Tile(1), info));
    EXPECT_EQ(info.FModuleName, L"Admission.exe");
    EXPECT_EQ(options.Count(), 1u);
}
