#include "launcher/settings/configuration.h"

#include <algorithm>
#include <cwchar>
#include <optional>
#include <vector>

#include "base/paths.h"
#include "base/string_convert.h"
#include "launcher/settings/settings.h"

#ifdef _WIN32
#include <windows.h>
#endif

TServerConfiguration ProcessServerSection(std::wstring_view ALocalExe, std::wstring_view AUrl) {
    return TServerConfiguration{FolderWithDelimiter(ALocalExe), std::wstring(AUrl)};
}

std::string ProcessRing(std::wstring_view AValue) {
    const auto blank = [](wchar_t c) { return c == L' ' || c == L'\t'; };
    while (!AValue.empty() && blank(AValue.front())) AValue.remove_prefix(1);
    while (!AValue.empty() && blank(AValue.back())) AValue.remove_suffix(1);
    if (AValue.empty()) return "geral";
    std::string ring = WideToUtf8(AValue);
    for (char& c : ring)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return ring;
}

namespace {

// Digits only, at most AMax; anything else leaves AValue as it was.
template <typename T>
void ReadWhole(std::wstring_view AText, uint64_t AMax, T& AValue) {
    if (AText.empty() || AText.size() > 19) return;
    uint64_t value = 0;
    for (const wchar_t c : AText) {
        if (c < L'0' || c > L'9') return;
        value = value * 10 + static_cast<uint64_t>(c - L'0');
    }
    if (value > AMax) return;
    AValue = static_cast<T>(value);
}

}  // namespace

TLimitsConfiguration ProcessLimitsSection(std::wstring_view AListingMB, std::wstring_view AMinBytes,
                                          std::wstring_view AMinSeconds, std::wstring_view ADeadlineSeconds) {
    TLimitsConfiguration limits;
    // A listing limit of 0 would refuse every listing.
    uint64_t listingMB = 0;
    ReadWhole(AListingMB, kMaxListingMB, listingMB);
    if (listingMB > 0) limits.ListingBytes = listingMB << 20;
    ReadWhole(AMinBytes, kMaxMinBytes, limits.MinBytes);
    // Left at the mark unless the text is a whole number that is taken.
    const auto seconds = [](std::wstring_view AText, std::chrono::milliseconds& AValue) {
        constexpr uint64_t kUnset = UINT64_MAX;
        uint64_t value = kUnset;
        ReadWhole(AText, kMaxLimitSeconds, value);
        if (value != kUnset) AValue = std::chrono::seconds(value);
    };
    seconds(AMinSeconds, limits.MinWindow);
    seconds(ADeadlineSeconds, limits.Deadline);
    return limits;
}

TNetworkConfiguration ProcessNetworkSection(std::wstring_view AProxy, std::wstring_view AConnections,
                                            std::wstring_view ACheckMinutes, std::wstring_view AMaxKBps,
                                            std::wstring_view ACacheMB) {
    TNetworkConfiguration network;
    while (!AProxy.empty() && (AProxy.front() == L' ' || AProxy.front() == L'\t')) AProxy.remove_prefix(1);
    while (!AProxy.empty() && (AProxy.back() == L' ' || AProxy.back() == L'\t')) AProxy.remove_suffix(1);
    network.Proxy = AProxy;
    // 0 would let no request go.
    unsigned connections = 0;
    ReadWhole(AConnections, kMaxConnections, connections);
    if (connections > 0) network.Connections = connections;
    uint64_t minutes = static_cast<uint64_t>(network.CheckInterval.count());
    ReadWhole(ACheckMinutes, kMaxCheckMinutes, minutes);
    network.CheckInterval = std::chrono::minutes(minutes);
    uint64_t kbps = 0;
    ReadWhole(AMaxKBps, kMaxKBps, kbps);
    network.MaxBytesPerSecond = kbps * 1024;
    uint64_t megabytes = network.CacheBytes >> 20;
    ReadWhole(ACacheMB, kMaxCacheMB, megabytes);
    network.CacheBytes = megabytes << 20;
    return network;
}

#ifdef _WIN32
namespace {

// One value through the private-profile interface; a missing file, section or key gives ADefault.
std::wstring ReadIniString(const std::wstring& AFileName, const wchar_t* ASection, const wchar_t* AKey,
                           const wchar_t* ADefault) {
    std::wstring buffer(kIniBufferChars, L'\0');
    const DWORD length = GetPrivateProfileStringW(ASection, AKey, ADefault, buffer.data(),
                                                  static_cast<DWORD>(buffer.size()), AFileName.c_str());
    buffer.resize(length);
    return buffer;
}

// One value set by machine policy: HKLM\<APolicyKey>\<ASection>, the value named as the INI key.
// Text as the templates write it; a number (REG_DWORD) as its decimal text. Nothing when unset.
std::optional<std::wstring> ReadPolicyString(const wchar_t* APolicyKey, const wchar_t* ASection,
                                             const wchar_t* AKey) {
    const std::wstring key = std::wstring(APolicyKey) + L"\\" + ASection;
    std::wstring buffer(kIniBufferChars, L'\0');
    DWORD type = 0, bytes = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    const LSTATUS status =
        RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), AKey, RRF_RT_REG_SZ | RRF_RT_REG_DWORD | RRF_NOEXPAND,
                     &type, buffer.data(), &bytes);
    if (status == ERROR_MORE_DATA) {
        // Longer than an INI value can be: keep its first kIniBufferChars - 1 characters, as the INI does.
        std::vector<wchar_t> whole(bytes / sizeof(wchar_t) + 1);
        DWORD wholeBytes = static_cast<DWORD>(whole.size() * sizeof(wchar_t));
        if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), AKey, RRF_RT_REG_SZ | RRF_NOEXPAND, &type,
                         whole.data(), &wholeBytes) != ERROR_SUCCESS)
            return std::nullopt;
        return std::wstring(whole.data(),
                            std::min<size_t>(wcsnlen(whole.data(), whole.size()), kIniBufferChars - 1));
    }
    if (status != ERROR_SUCCESS) return std::nullopt;
    if (type == REG_DWORD) return std::to_wstring(*reinterpret_cast<const DWORD*>(buffer.data()));
    buffer.resize(wcsnlen(buffer.data(), buffer.size()));
    return buffer;
}

}  // namespace

TSettings ReadSettingsFrom(const std::wstring& AIniFileName, const wchar_t* APolicyKey) {
    TSettings settings;
    const auto read = [&](const wchar_t* ASection, const wchar_t* AKey) {
        if (APolicyKey) {
            if (std::optional<std::wstring> value = ReadPolicyString(APolicyKey, ASection, AKey)) {
                settings.FromPolicy.push_back(std::wstring(ASection) + L"\\" + AKey);
                return std::move(*value);
            }
        }
        return ReadIniString(AIniFileName, ASection, AKey, L"");
    };
    const std::wstring localExe = read(kServerSection, L"Local Exe");
    const TServerConfiguration server = ProcessServerSection(localExe, read(kServerSection, L"url"));
    settings.RemotePath = server.RemotePath;
    settings.Url = server.Url;
    settings.PublisherKey = read(kSecuritySection, kPublisherKeyName);
    settings.Ring = ProcessRing(read(kSecuritySection, kRingKeyName));
    settings.RootAnchor = read(kSecuritySection, kRootAnchorKeyName);
    settings.Deployment = read(kSecuritySection, kDeploymentKeyName);
    // One by one, so that the settings are read (and named in FromPolicy) in the file's order.
    const std::wstring listingMB = read(kLimitsSection, L"Lista MB");
    const std::wstring minBytes = read(kLimitsSection, L"Minimo Bytes");
    const std::wstring minSeconds = read(kLimitsSection, L"Minimo Segundos");
    const std::wstring deadlineSeconds = read(kLimitsSection, L"Prazo Segundos");
    settings.Limits = ProcessLimitsSection(listingMB, minBytes, minSeconds, deadlineSeconds);
    settings.FleetUrl = read(kFleetSection, L"url");
    const std::wstring proxy = read(kNetworkSection, L"Proxy");
    const std::wstring connections = read(kNetworkSection, L"Conexoes");
    const std::wstring checkMinutes = read(kNetworkSection, L"Verificar Minutos");
    const std::wstring maxKBps = read(kNetworkSection, L"Max KBps");
    const std::wstring cacheMB = read(kNetworkSection, L"Cache MB");
    settings.Network = ProcessNetworkSection(proxy, connections, checkMinutes, maxKBps, cacheMB);
    return settings;
}

TSettings ReadIniSettings(const std::wstring& AIniFileName) {
    return ReadSettingsFrom(AIniFileName, nullptr);
}
#endif
