#pragma once
// The launcher's configuration: section "Servidor" of Aurevia.ini beside the executable. Read once
// at start-up, never written.
#include <string>
#include <string_view>

struct TServerConfiguration {
    std::wstring RemotePath;  // server folder, always ending in "\"
    std::wstring Url;         // file service base URL, exactly as read
};

// The values as the INI file gave them, turned into the configuration (portable).
TServerConfiguration ProcessServerSection(std::wstring_view ALocalExe, std::wstring_view AUrl);

constexpr const wchar_t* kIniFileName = L"Aurevia.ini";
constexpr const wchar_t* kServerSection = L"Servidor";
// Section "Seguranca", key "Chave Publica": the publisher's public key; without it updates are not
// verified.
constexpr const wchar_t* kSecuritySection = L"Seguranca";
constexpr const wchar_t* kPublisherKeyName = L"Chave Publica";
// Section "Frota", key "url": the fleet service the launcher reports its updates to; without it
// nothing is reported.
constexpr const wchar_t* kFleetSection = L"Frota";
// Each value is read into a buffer of this many characters, so longer values keep their first
// kIniBufferChars - 1 characters.
constexpr unsigned kIniBufferChars = 2048;

#ifdef _WIN32
// Reads one value through the private-profile interface; a missing file, section or key gives
// ADefault.
std::wstring ReadIniString(const std::wstring& AFileName, const wchar_t* ASection, const wchar_t* AKey,
                           const wchar_t* ADefault);
// Reads the server section of an INI file.
TServerConfiguration ReadServerConfiguration(const std::wstring& AIniFileName);
// The publisher's key of the security section; empty when absent.
std::wstring ReadPublisherKey(const std::wstring& AIniFileName);
// The fleet service's URL of the fleet section; empty when absent.
std::wstring ReadFleetUrl(const std::wstring& AIniFileName);
#endif
