#pragma once
// Aurevia.ini beside the executable, the first source of the launcher's settings (settings.h): its
// sections and keys and how each value is taken. Read once at start-up, never written.
#include <chrono>
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
// Key "Raiz" of the same section: the SHA-256 of the root document the workstation starts from
// (printed by "aurevia-publish root publish"); the workstation follows the root from there.
constexpr const wchar_t* kRootAnchorKeyName = L"Raiz";
// Key "Implantacao" of the same section: the deployment (server folder, as the publisher names it)
// whose documents the workstation takes under a root; a copy of another deployment's is refused.
constexpr const wchar_t* kDeploymentKeyName = L"Implantacao";

// The ring as the INI file gave it: blanks around it dropped and ASCII letters lowered (ring names
// are lower-case on the server, an administrator may type "Piloto"); empty means "geral".
std::string ProcessRing(std::wstring_view AValue);
// Section "Limites": the bounds of every update, in whole numbers. A missing, empty or malformed value
// (a sign, a blank, a fraction, a number too large) keeps the default.
//   Lista MB         a listing larger than this fails the update, which then fetches nothing (64)
//   Minimo Bytes     a body that brings fewer bytes than this ...
//   Minimo Segundos  ... within this many seconds fails like a cut download (1024 in 30; 0 s: no minimum)
//   Prazo Segundos   the whole update (listing, waits, every fetch) ends by then (900; 0: no deadline)
// Kept converted, in bytes and milliseconds, as the transfers use them.
constexpr const wchar_t* kLimitsSection = L"Limites";
// The largest values taken: past any real listing, and milliseconds that still fit in 32 bits (49
// days), which is what the transfers count in.
constexpr uint64_t kMaxListingMB = 4096;
constexpr uint64_t kMaxMinBytes = uint64_t{1} << 40;
constexpr uint32_t kMaxLimitSeconds = 4000000;
struct TLimitsConfiguration {
    uint64_t ListingBytes = uint64_t{64} << 20;
    uint64_t MinBytes = 1024;
    std::chrono::milliseconds MinWindow = std::chrono::seconds(30);
    std::chrono::milliseconds Deadline = std::chrono::seconds(900);
};
TLimitsConfiguration ProcessLimitsSection(std::wstring_view AListingMB, std::wstring_view AMinBytes,
                                          std::wstring_view AMinSeconds, std::wstring_view ADeadlineSeconds);

// Section "Rede": how the launcher's requests reach the servers, the background fetch of staged
// releases and the workstation's object store. Numbers are whole; a missing, empty or malformed
// value keeps the default.
//   Proxy              empty: the system's proxy settings; "DIRECT": none; "host:port": that proxy
//                      (kept as read, blanks dropped; update/transport/proxy_setting.h takes it)
//   Conexoes           requests (so connections) of one update under way at once, 1 to
//                      kMaxConnections (6; 0 keeps the default)
//   Verificar Minutos  how often the rollout document is read again while the launcher runs (60; 0:
//                      no background fetch at all, the store is still used by updates)
//   Max KBps           the background fetch's cap, kilobytes (1024 bytes) a second (0: no cap)
//   Cache MB           the store's bound, megabytes (1024; 0: no store, no background fetch)
constexpr const wchar_t* kNetworkSection = L"Rede";
constexpr unsigned kMaxConnections = 64;
constexpr uint64_t kMaxCheckMinutes = 7 * 24 * 60;
constexpr uint64_t kMaxKBps = uint64_t{1} << 30;
constexpr uint64_t kMaxCacheMB = uint64_t{1} << 24;
struct TNetworkConfiguration {
    std::wstring Proxy;
    unsigned Connections = 6;
    std::chrono::minutes CheckInterval = std::chrono::minutes(60);
    uint64_t MaxBytesPerSecond = 0;
    uint64_t CacheBytes = uint64_t{1024} << 20;
};
TNetworkConfiguration ProcessNetworkSection(std::wstring_view AProxy, std::wstring_view AConnections,
                                            std::wstring_view ACheckMinutes, std::wstring_view AMaxKBps,
                                            std::wstring_view ACacheMB);

// Section "Frota", key "url": the fleet service the launcher reports its updates to; without it
// nothing is reported.
constexpr const wchar_t* kFleetSection = L"Frota";
// Each value is read into a buffer of this many characters, so longer values keep their first
// kIniBufferChars - 1 characters.
constexpr unsigned kIniBufferChars = 2048;

#ifdef _WIN32
struct TSettings;
// Machine policy: HKLM\Software\Policies\Aurevia\<Section>, each value named as its INI key. What IT
// sets there centrally wins over the user-writable INI file beside the program.
constexpr const wchar_t* kPolicyKey = L"Software\\Policies\\Aurevia";
// Every setting: from machine policy under HKLM\APolicyKey when set there (APolicyKey null: no
// policy), otherwise from the INI file (a missing file, section or key gives the default), read
// through the private-profile interface. Settings taken from policy are named in FromPolicy.
TSettings ReadSettingsFrom(const std::wstring& AIniFileName, const wchar_t* APolicyKey);
// The INI file's settings alone.
TSettings ReadIniSettings(const std::wstring& AIniFileName);
#endif
