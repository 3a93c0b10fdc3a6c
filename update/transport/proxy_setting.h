#pragma once
// How the launcher's requests reach a server: through the system's proxy settings, straight, or
// through the one proxy IT named in Aurevia.ini's [Rede] "Proxy" (or machine policy). Portable.
#include <optional>
#include <string>
#include <string_view>

struct TProxySetting {
    enum class TMode {
        System,  // the user's Internet settings (PAC, WPAD, manual proxy), else WinHTTP's default
        Direct,  // no proxy, whatever the system says
        Named,   // Server ("host:port") for every request
    };
    TMode Mode = TMode::System;
    std::wstring Server;
};

// The setting a value of [Rede] "Proxy" stands for: empty (or blanks) is the system's settings,
// "DIRECT" (any case) no proxy, "host:port" that proxy (port 1-65535, host without blanks, scheme
// or path; "[v6]:port" for an IPv6 address). Anything else is no setting at all (nullopt).
std::optional<TProxySetting> ParseProxySetting(std::wstring_view AValue);
