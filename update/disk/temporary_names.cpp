#include "update/disk/temporary_names.h"

#include <cwctype>

namespace {

bool StartsWithNoCase(std::wstring_view AText, std::wstring_view APrefix) {
    if (AText.size() < APrefix.size()) return false;
    for (size_t i = 0; i < APrefix.size(); ++i)
        if (std::towlower(static_cast<wint_t>(AText[i])) != static_cast<wint_t>(APrefix[i])) return false;
    return true;
}

// Digits only, at least one, and a value that fits 32 bits.
std::optional<uint32_t> Number(std::wstring_view ADigits) {
    if (ADigits.empty() || ADigits.size() > 10) return std::nullopt;
    uint64_t value = 0;
    for (const wchar_t c : ADigits) {
        if (c < L'0' || c > L'9') return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(c - L'0');
    }
    if (value > UINT32_MAX) return std::nullopt;
    return static_cast<uint32_t>(value);
}

}  // namespace

std::optional<uint32_t> TemporaryOwner(std::wstring_view AFileName) {
    constexpr std::wstring_view kPrefix = L"~aur";
    constexpr std::wstring_view kSuffix = L".tmp";
    if (!StartsWithNoCase(AFileName, kPrefix) || AFileName.size() < kPrefix.size() + kSuffix.size())
        return std::nullopt;
    if (!StartsWithNoCase(AFileName.substr(AFileName.size() - kSuffix.size()), kSuffix)) return std::nullopt;
    const std::wstring_view middle =
        AFileName.substr(kPrefix.size(), AFileName.size() - kPrefix.size() - kSuffix.size());
    const size_t dash = middle.find(L'-');
    if (dash == std::wstring_view::npos || !Number(middle.substr(dash + 1))) return std::nullopt;
    return Number(middle.substr(0, dash));
}
