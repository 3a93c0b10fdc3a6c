// The text of [Rede] "Proxy" as the requests take it: the system's settings, no proxy, one named
// proxy, or no setting at all for anything a typing slip could make of it.
#include <gtest/gtest.h>

#include "update/transport/proxy_setting.h"

namespace {

using TMode = TProxySetting::TMode;

TEST(ProxySetting, TakesTheSystemDirectOrOneHostAndPortAndRefusesTheRest) {
    const struct {
        const wchar_t* text;
        std::optional<TMode> mode;
        const wchar_t* server;
    } cases[] = {
        {L"", TMode::System, L""},
        {L"  \t ", TMode::System, L""},
        {L"DIRECT", TMode::Direct, L""},
        {L" direct ", TMode::Direct, L""},
        {L"proxy.hospital.local:3128", TMode::Named, L"proxy.hospital.local:3128"},
        {L" 10.0.0.5:8080 ", TMode::Named, L"10.0.0.5:8080"},
        {L"[fd00::5]:3128", TMode::Named, L"[fd00::5]:3128"},
        {L"proxy:65535", TMode::Named, L"proxy:65535"},
        // No port, a port out of range or with a leading zero, a scheme, a path, credentials.
        {L"proxy.hospital.local", std::nullopt, nullptr},
        {L"proxy:", std::nullopt, nullptr},
        {L":3128", std::nullopt, nullptr},
        {L"proxy:0", std::nullopt, nullptr},
        {L"proxy:65536", std::nullopt, nullptr},
        {L"proxy:03128", std::nullopt, nullptr},
        {L"proxy:31x8", std::nullopt, nullptr},
        {L"http://proxy:3128", std::nullopt, nullptr},
        {L"proxy:3128/", std::nullopt, nullptr},
        {L"user:senha@proxy:3128", std::nullopt, nullptr},
        {L"proxy a:3128", std::nullopt, nullptr},
        {L"fd00::5:3128", std::nullopt, nullptr},
        {L"[fd00::5]", std::nullopt, nullptr},
        {L"prox\u00e9:3128", std::nullopt, nullptr},
        {L"DIRECTO", std::nullopt, nullptr},
    };
    for (const auto& c : cases) {
        const std::optional<TProxySetting> setting = ParseProxySetting(c.text);
        const std::string shown = testing::PrintToString(std::wstring(c.text));
        ASSERT_EQ(setting.has_value(), c.mode.has_value()) << shown;
        if (!setting) continue;
        EXPECT_EQ(setting->Mode, *c.mode) << shown;
        EXPECT_EQ(setting->Server, c.server) << shown;
    }
}

}  // namespace
