#include <gtest/gtest.h>

#include "app/configuration.h"
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
