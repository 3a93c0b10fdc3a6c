#pragma once
// The launcher's configuration: section "Servidor" of Aurevia.ini beside the executable. Read once
// at start-up, never written.
#include <cstdint>
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
// Key "Anel" of the same section: the ring of workstations this one belongs to in a staged rollout.
constexpr const wchar_t* kRingKeyName = L"Anel";

// The ring as the INI file gave it: blanks around it dropped and ASCII letters lowered (ring names
// are lower-case on the server, an administrator may type "Piloto"); empty means "geral".
std::string ProcessRing(std::wstring_view AValue);
// Section "Limites": the bounds of every update, in whole numbers. A missing, empty or malformed value
// (a sign, a blank, a fraction, a number too large) keeps the default.
//   Lista MB         a listing larger than this fails the update, which then fetches nothing (64)
//   Minimo Bytes     a body that brings fewer bytes than this ...
//   Minimo Segundos  ... within this many seconds fails like a cut download (1024 in 30; 0 s: no minimum)
//   Prazo Segundos   the whole update (listing, waits, every fetch) ends by then (900; 0: no deadline)
constexpr const wchar_t* kLimitsSection = L"Limites";
struct TLimitsConfiguration {
    uint64_t ListingMB = 64;
    uint64_t MinBytes = 1024;
    uint32_t MinWindowSeconds = 30;
    uint32_t DeadlineSeconds = 900;
};
TLimitsConfiguration ProcessLimitsSection(std::wstring_view AListingMB, std::wstring_view AMinBytes,
                                          std::wstring_view AMinSeconds, std::wstring_view ADeadlineSeconds);

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
// The ring of the security section (see ProcessRing).
std::string ReadRing(const std::wstring& AIniFileName);
// The limits section of an INI file.
TLimitsConfiguration ReadLimitsConfiguration(const std::wstring& AIniFileName);
// The fleet service's URL of the fleet section; empty when absent.
std::wstring ReadFleetUrl(const std::wstring& AIniFileName);
#endif
