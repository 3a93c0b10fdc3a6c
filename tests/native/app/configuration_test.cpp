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
