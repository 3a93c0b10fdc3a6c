#include "update/transport/proxy_setting.h"

#include <cwctype>

namespace {

std::wstring_view Trimmed(std::wstring_view AText) {
    while (!AText.empty() && (AText.front() == L' ' || AText.front() == L'\t')) AText.remove_prefix(1);
    while (!AText.empty() && (AText.back() == L' ' || AText.back() == L'\t')) AText.remove_suffix(1);
    return AText;
}

bool IsPort(std::wstring_view AText) {
    if (AText.empty() || AText.size() > 5 || AText.front() == L'0') return false;
    unsigned port = 0;
    for (const wchar_t c : AText) {
        if (c < L'0' || c > L'9') return false;
        port = port * 10 + static_cast<unsigned>(c - L'0');
    }
    return port <= 65535;
}

// Letters, digits, '-', '.', '_' for a name or an IPv4 address; hex digits, ':' and '.' inside
// brackets for IPv6. A scheme ("http://"), a path or credentials ("user@") are refused rather
// than guessed at.
bool IsHost(std::wstring_view AHost) {
    if (AHost.empty() || AHost.size() > 255) return false;
    if (AHost.front() == L'[') {
        if (AHost.size() < 3 || AHost.back() != L']') return false;
        for (const wchar_t c : AHost.substr(1, AHost.size() - 2))
            if (!(std::iswxdigit(c) || c == L':' || c == L'.')) return false;
        return true;
    }
    for (const wchar_t c : AHost) {
        const bool ascii = c < 0x80;
        if (!ascii || !(std::iswalnum(c) || c == L'-' || c == L'.' || c == L'_')) return false;
    }
    return true;
}

bool IsDirect(std::wstring_view AText) {
    constexpr std::wstring_view kDirect = L"DIRECT";
    if (AText.size() != kDirect.size()) return false;
    for (size_t i = 0; i < AText.size(); ++i)
        if (std::towupper(AText[i]) != static_cast<std::wint_t>(kDirect[i])) return false;
    return true;
}

}  // namespace

std::optional<TProxySetting> ParseProxySetting(std::wstring_view AValue) {
    const std::wstring_view value = Trimmed(AValue);
    if (value.empty()) return TProxySetting{};
    if (IsDirect(value)) return TProxySetting{TProxySetting::TMode::Direct, {}};
    const size_t colon = value.rfind(L':');
    if (colon == std::wstring_view::npos) return std::nullopt;
    const std::wstring_view host = value.substr(0, colon);
    if (!IsHost(host) || !IsPort(value.substr(colon + 1))) return std::nullopt;
    return TProxySetting{TProxySetting::TMode::Named, std::wstring(value)};
}
