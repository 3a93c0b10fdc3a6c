#pragma once
// Whether this workstation trusts a server's release: the manifest's signature checked with the
// configured publisher key, its expiry against the UTC clock, its serial against the highest one
// accepted before. Decides on the bytes it is handed (update/source/source_manifest.h reads them
// from a source); its only state is the accepted serial in the registry.
#include <cstdint>
#include <optional>
#include <string>

#include "update/state/accepted_serial.h"
#include "update/trust/manifest_index.h"
#include "update/trust/manifest_rules.h"

// The verification settings of the launcher.
struct TUpdateVerification {
    // Aurevia.ini, [Seguranca] "Chave Publica". Empty: updates are not verified at all.
    std::wstring PublisherKey;
    // The registry key under HKEY_CURRENT_USER that keeps the highest accepted serial.
    std::wstring SerialKey = kSerialRegistryKey;
    // Aurevia.ini, [Seguranca] "Anel": the ring whose entry of a rollout document applies.
    std::string Ring = "geral";
    // What the workstation's rollout number is derived from (the machine's MachineGuid); stays on
    // the workstation.
    std::string MachineValue{};

    bool Enabled() const { return !PublisherKey.empty(); }
};

// Far above any real manifest (about 150 bytes a file), far below what could hurt the workstation.
inline constexpr uint64_t kManifestLimit = 4u << 20;
inline constexpr uint64_t kSignatureLimit = 4096;

// The two manifest files as a source gave them; a missing one is empty, with the reason in Missing.
struct TManifestBytes {
    std::optional<std::string> Manifest;
    std::optional<std::string> Signature;
    std::string Missing;
};

struct TAcceptance {
    TRefusal Refusal = TRefusal::None;
    std::string Detail;
    TReleaseManifest Manifest;  // the accepted manifest; empty when refused
    TManifestIndex Files;       // its files by name; empty when refused

    bool Accepted() const { return Refusal == TRefusal::None; }
};

// Checks in this order: both files present, the key readable, the signature, the manifest readable,
// its expiry, its serial. An accepted manifest raises the stored serial before this returns; only a
// registry that refuses that write raises.
TAcceptance AcceptManifest(const TUpdateVerification& AVerification, const TManifestBytes& ABytes);
