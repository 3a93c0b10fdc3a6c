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

// The limits a site (or a test) can set: whole numbers only; anything else keeps the default. They
// arrive converted, in bytes and milliseconds.
TEST(LimitsSection, WholeNumbersOrTheDefault) {
    using std::chrono::seconds;
    const TLimitsConfiguration defaults;
    const TLimitsConfiguration set = ProcessLimitsSection(L"2", L"10", L"5", L"60");
    EXPECT_EQ(set.ListingBytes, 2u << 20);
    EXPECT_EQ(set.MinBytes, 10u);
    EXPECT_EQ(set.MinWindow, seconds(5));
    EXPECT_EQ(set.Deadline, seconds(60));
    const TLimitsConfiguration off = ProcessLimitsSection(L"", L"", L"0", L"0");
    EXPECT_EQ(off.ListingBytes, defaults.ListingBytes);
    EXPECT_EQ(off.MinWindow, seconds(0));
    EXPECT_EQ(off.Deadline, seconds(0));
    for (const wchar_t* bad : {L"-1", L"+5", L" 5", L"5 ", L"1.5", L"abc", L"99999999999999999999", L"0"}) {
        const TLimitsConfiguration kept = ProcessLimitsSection(bad, bad, bad, bad);
        EXPECT_EQ(kept.ListingBytes, defaults.ListingBytes) << bad;
        if (std::wstring(bad) != L"0") {
            EXPECT_EQ(kept.MinBytes, defaults.MinBytes) << bad;
            EXPECT_EQ(kept.MinWindow, defaults.MinWindow) << bad;
            EXPECT_EQ(kept.Deadline, defaults.Deadline) << bad;
        }
    }
}

// The largest values taken convert without wrapping (4 GiB; seconds whose milliseconds still fit the
// 32 bits the transfers count in); one past them keeps the default.
TEST(LimitsSection, TheLargestValuesConvertWholeAndOnePastThemKeepsTheDefault) {
    const TLimitsConfiguration defaults;
    const TLimitsConfiguration largest =
        ProcessLimitsSection(L"4096", L"1099511627776", L"4000000", L"4000000");
    EXPECT_EQ(largest.ListingBytes, uint64_t{4096} << 20);
    EXPECT_EQ(largest.MinBytes, uint64_t{1} << 40);
    EXPECT_EQ(largest.MinWindow.count(), 4000000000);
    EXPECT_LE(static_cast<uint64_t>(largest.Deadline.count()), uint64_t{UINT32_MAX});
    const TLimitsConfiguration past = ProcessLimitsSection(L"4097", L"1099511627777", L"4000001", L"4000001");
    EXPECT_EQ(past.ListingBytes, defaults.ListingBytes);
    EXPECT_EQ(past.MinBytes, defaults.MinBytes);
    EXPECT_EQ(past.MinWindow, defaults.MinWindow);
    EXPECT_EQ(past.Deadline, defaults.Deadline);
}

TEST(NetworkSection, ConnectionsAreOneToSixtyFourOrTheDefaultAndTheProxyIsTrimmed) {
    const struct {
        const wchar_t* connections;
        unsigned taken;
    } cases[] = {{L"", 6},  {L"1", 1},  {L"12", 12}, {L"64", 64}, {L"65", 6},
                 {L"0", 6}, {L"-2", 6}, {L" 4", 6},  {L"4.5", 6}, {L"99999999999999999999", 6}};
    for (const auto& c : cases)
        EXPECT_EQ(ProcessNetworkSection(L"", c.connections, L"", L"", L"").Connections, c.taken)
            << "Conexoes=" << testing::PrintToString(std::wstring(c.connections));
    EXPECT_EQ(ProcessNetworkSection(L" \tproxy.hospital:3128  ", L"", L"", L"", L"").Proxy,
              L"proxy.hospital:3128");
    EXPECT_EQ(ProcessNetworkSection(L"   ", L"", L"", L"", L"").Proxy, L"");
}

// [Rede]: minutes, kilobytes a second and megabytes, converted; 0 is a value of its own (off, no
// cap, no store); past the largest or malformed keeps the default.
TEST(NetworkSection, ConvertsWholeNumbersAndKeepsTheDefaultOtherwise) {
    using std::chrono::minutes;
    const TNetworkConfiguration defaults = ProcessNetworkSection(L"", L"", L"", L"", L"");
    EXPECT_EQ(defaults.CheckInterval, minutes(60));
    EXPECT_EQ(defaults.MaxBytesPerSecond, 0u);
    EXPECT_EQ(defaults.CacheBytes, uint64_t{1024} << 20);
    const TNetworkConfiguration set = ProcessNetworkSection(L"", L"", L"5", L"1250", L"200");
    EXPECT_EQ(set.CheckInterval, minutes(5));
    EXPECT_EQ(set.MaxBytesPerSecond, 1250u * 1024);
    EXPECT_EQ(set.CacheBytes, uint64_t{200} << 20);
    const TNetworkConfiguration off = ProcessNetworkSection(L"", L"", L"0", L"0", L"0");
    EXPECT_EQ(off.CheckInterval, minutes(0));
    EXPECT_EQ(off.CacheBytes, 0u);
    const TNetworkConfiguration largest =
        ProcessNetworkSection(L"", L"", L"10080", L"1073741824", L"16777216");
    EXPECT_EQ(largest.MaxBytesPerSecond, uint64_t{1} << 40);
    EXPECT_EQ(largest.CacheBytes, uint64_t{1} << 44);
    for (const wchar_t* bad : {L"-1", L"1.5", L" 5", L"10081", L"99999999999999999999"}) {
        const TNetworkConfiguration kept = ProcessNetworkSection(L"", L"", bad, L"x", L"x");
        EXPECT_EQ(kept.CheckInterval, minutes(60)) << bad;
        EXPECT_EQ(kept.MaxBytesPerSecond, 0u) << bad;
        EXPECT_EQ(kept.CacheBytes, defaults.CacheBytes) << bad;
    }
}
