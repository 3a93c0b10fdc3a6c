#pragma once
// Whether this workstation trusts a server's release: the manifest's signature checked with the
// configured publisher key, its expiry against the UTC clock, its serial against the highest one
// accepted before. Runs on the UI thread (the updater before listing, the self-update, the support
// tools).
#include <optional>
#include <string>

#include "update/trust/accepted_serial.h"
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
    std::string MachineValue;

    bool Enabled() const { return !PublisherKey.empty(); }
};

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

    bool Accepted() const { return Refusal == TRefusal::None; }
};

// Checks in this order: both files present, the key readable, the signature, the manifest readable,
// its expiry, its serial. An accepted manifest raises the stored serial before this returns; only a
// registry that refuses that write raises.
TAcceptance AcceptManifest(const TUpdateVerification& AVerification, const TManifestBytes& ABytes);

// The manifest files at the root of a server folder. Reads at most a few megabytes of each.
TManifestBytes ReadManifestFromFolder(const std::wstring& AFolder);

// The manifest files from the file service, through the download client like any other file; each
// lands in a temporary file beside ALocalFolder's files for the length of the download, and a body
// past a few megabytes ends it.
TManifestBytes DownloadManifest(const std::wstring& AURL, const std::wstring& ALocalFolder);

// The manifest of a server folder, accepted or refused: what the self-update and the support tools
// check their files against.
TAcceptance AcceptFolderManifest(const TUpdateVerification& AVerification, const std::wstring& AFolder);
