#include "launcher/settings/configuration.h"

#include "base/paths.h"
#include "base/string_convert.h"

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
    // A listing limit of 0 would refuse every listing; 4 GB is far past any real one.
    uint64_t listing = limits.ListingMB;
    ReadWhole(AListingMB, 4096, listing);
    if (listing > 0) limits.ListingMB = listing;
    ReadWhole(AMinBytes, uint64_t{1} << 40, limits.MinBytes);
    // Seconds are kept as milliseconds in 32 bits: 49 days at most.
    ReadWhole(AMinSeconds, 4000000, limits.MinWindowSeconds);
    ReadWhole(ADeadlineSeconds, 4000000, limits.DeadlineSeconds);
    return limits;
}

#ifdef _WIN32
std::wstring ReadIniString(const std::wstring& AFileName, const wchar_t* ASection, const wchar_t* AKey,
                           const wchar_t* ADefault) {
    std::wstring buffer(kIniBufferChars, L'\0');
    const DWORD length = GetPrivateProfileStringW(ASection, AKey, ADefault, buffer.data(),
                                                  static_cast<DWORD>(buffer.size()), AFileName.c_str());
    buffer.resize(length);
    return buffer;
}

TServerConfiguration ReadServerConfiguration(const std::wstring& AIniFileName) {
    const std::wstring localExe = ReadIniString(AIniFileName, kServerSection, L"Local Exe", L"");
    const std::wstring url = ReadIniString(AIniFileName, kServerSection, L"url", L"");
    return ProcessServerSection(localExe, url);
}

std::wstring ReadPublisherKey(const std::wstring& AIniFileName) {
    return ReadIniString(AIniFileName, kSecuritySection, kPublisherKeyName, L"");
}

std::string ReadRing(const std::wstring& AIniFileName) {
    return ProcessRing(ReadIniString(AIniFileName, kSecuritySection, kRingKeyName, L""));
}

TLimitsConfiguration ReadLimitsConfiguration(const std::wstring& AIniFileName) {
    const auto read = [&](const wchar_t* AKey) {
        return ReadIniString(AIniFileName, kLimitsSection, AKey, L"");
    };
    return ProcessLimitsSection(read(L"Lista MB"), read(L"Minimo Bytes"), read(L"Minimo Segundos"),
                                read(L"Prazo Segundos"));
}

std::wstring ReadFleetUrl(const std::wstring& AIniFileName) {
    return ReadIniString(AIniFileName, kFleetSection, L"url", L"");
}
#endif
