#include <gtest/gtest.h>

#include "launcher/settings/configuration.h"
#include "cases/configuration_cases.h"

TEST(ServerSection, KeepsTheFolderWithOneTrailingBackslashAndTheUrlAsRead) {
    for (const ConfigurationCase& c : kConfigurationCases) {
        const TServerConfiguration result =
            ProcessServerSection(c.local_exe ? c.local_exe : L"", c.url ? c.url : L"");
        EXPECT_EQ(result.RemotePath, c.remote_path) << "Local Exe case #" << (&c - kConfigurationCases);
        EXPECT_EQ(result.Url, c.stored_url) << "url case #" << (&c - kConfigurationCases);
    }
}

TEST(Ring, DefaultsToGeralAndIsLowerCasedAndTrimmed) {
    const struct {
        const wchar_t* ini;
        const char* ring;
    } cases[] = {{L"", "geral"},          {L"  \t", "geral"},  {L"piloto", "piloto"},
                 {L" Piloto ", "piloto"}, {L"UTI-2", "uti-2"}, {L"ala_b", "ala_b"}};
    for (const auto& c : cases) EXPECT_EQ(ProcessRing(c.ini), c.ring) << "'" << c.ring << "'";
}

// The limits a site (or a test) can set: whole numbers only; anything else keeps the default.
TEST(LimitsSection, WholeNumbersOrTheDefault) {
    const TLimitsConfiguration defaults;
    const TLimitsConfiguration set = ProcessLimitsSection(L"2", L"10", L"5", L"60");
    EXPECT_EQ(set.ListingMB, 2u);
    EXPECT_EQ(set.MinBytes, 10u);
    EXPECT_EQ(set.MinWindowSeconds, 5u);
    EXPECT_EQ(set.DeadlineSeconds, 60u);
    const TLimitsConfiguration off = ProcessLimitsSection(L"", L"", L"0", L"0");
    EXPECT_EQ(off.ListingMB, defaults.ListingMB);
    EXPECT_EQ(off.MinWindowSeconds, 0u);
    EXPECT_EQ(off.DeadlineSeconds, 0u);
    for (const wchar_t* bad : {L"-1", L"+5", L" 5", L"5 ", L"1.5", L"abc", L"99999999999999999999", L"0"}) {
        const TLimitsConfiguration kept = ProcessLimitsSection(bad, bad, L"", L"");
        EXPECT_EQ(kept.ListingMB, defaults.ListingMB) << bad;
        if (std::wstring(bad) != L"0") {
            EXPECT_EQ(kept.MinBytes, defaults.MinBytes) << bad;
        }
    }
}
