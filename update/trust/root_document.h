#pragma once
// The trust root: a versioned document, kept offline and signed by a threshold of root keys, that
// names the keys allowed to sign manifests, releases and rollout documents. Portable (no
// <windows.h>): the publisher's tool writes it on Linux, the launcher reads it on Windows.
//
// On the server, beside the release folders:
//   aurevia-root/<version>.json   UTF-8 JSON, exactly the bytes that were signed:
//     {"format":"aurevia-root/1","product":"aurevia","version":2,"expires":"2027-12-01T00:00:00Z",
//      "epoch":1,"serial_floor":0,"threshold":2,
//      "root_keys":[{"id":"<64 hex>","key":"ecdsa-p256:<base64>"},...],
//      "keys":[{"id":"<64 hex>","key":"ecdsa-p256:<base64>","roles":["manifest","rollout"],
//               "not_before":"2026-12-01T00:00:00Z","not_after":"2027-06-01T00:00:00Z"},...]}
//   aurevia-root/<version>.sig    one line per signature, "<key id> <base64 of r||s>\n", each an
//                                 ECDSA P-256 signature over SHA-256 of the .json's exact bytes.
// A key id is the lowercase hex SHA-256 of the key's DER SubjectPublicKeyInfo, so that it names the
// same key in every tool that prints one. A signing key absent from a later version is revoked.
// Raising "epoch" tells workstations to take "serial_floor" as their highest accepted serial.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "update/trust/release_manifest.h"

inline constexpr std::string_view kRootFormat = "aurevia-root/1";
inline constexpr std::string_view kRootFolderName = "aurevia-root";
inline constexpr std::string_view kRoleManifest = "manifest";  // flat manifests and releases
inline constexpr std::string_view kRoleRollout = "rollout";

// Bounds on what a server may hand over: a root document and its signature file are small, and a
// workstation walks only so many versions in one update.
inline constexpr size_t kMostRootDocumentSize = 64 * 1024;
inline constexpr size_t kMostRootSignaturesSize = 8 * 1024;
inline constexpr size_t kMostRootSignatures = 32;
inline constexpr size_t kMostRootKeys = 16;
inline constexpr size_t kMostSigningKeys = 64;

using TPublicPoint = std::array<uint8_t, 64>;  // X then Y, big-endian
using TKeyId = TSha256;

enum class TKeyRole : uint8_t { Manifest = 1, Rollout = 2 };

struct TRootKey {
    TKeyId Id{};
    TPublicPoint Point{};
};

struct TSigningKey {
    TKeyId Id{};
    TPublicPoint Point{};
    uint8_t Roles = 0;  // TKeyRole bits
    int64_t NotBeforeUnix = 0;
    int64_t NotAfterUnix = 0;

    bool Has(TKeyRole ARole) const { return (Roles & static_cast<uint8_t>(ARole)) != 0; }
};

struct TRootDocument {
    std::string Product;
    uint64_t Version = 0;  // 1, 2, 3...
    int64_t ExpiresUnix = 0;
    uint64_t Epoch = 0;
    uint64_t SerialFloor = 0;
    unsigned Threshold = 1;
    std::vector<TRootKey> RootKeys;
    std::vector<TSigningKey> SigningKeys;
};

struct TRootSignature {
    TKeyId KeyId{};
    std::string Signature;  // 64 bytes, r then s
};

// Raise TManifestError for anything but a well-formed document: not JSON, another format, a member
// missing, given twice or of another kind, version 0, a product that is not a name
// (document_text::IsNameText: 1 to 64 of A-Z, a-z, 0-9, '.', '_', '-'), a threshold of 0 or above the number
// of root keys, no root key, more keys than the bounds above, a key id given twice (root keys among
// themselves, signing keys among themselves), a role not known or given twice, no role, or a window whose
// not_after precedes its not_before. Whether a key id is its key's hash needs a hasher and is the rules' to
// check (root_rules.h).
TRootDocument DecodeRootDocument(std::string_view ABytes);
// Writes the form above; raises TManifestError for what the decoder would refuse.
std::string EncodeRootDocument(const TRootDocument& ARoot);

// The signature file: raises TManifestError past the bounds above, for a line that is not
// "<64 lowercase hex> <base64 of 64 bytes>", or a missing final newline. The same key id may appear
// twice (it counts once toward a threshold).
std::vector<TRootSignature> DecodeRootSignatures(std::string_view ABytes);
std::string EncodeRootSignatures(const std::vector<TRootSignature>& ASignatures);

// The DER SubjectPublicKeyInfo of a P-256 point, whose SHA-256 is the key's id.
std::string SubjectPublicKeyInfoOf(const TPublicPoint& APoint);

// "manifest" / "rollout" to the role and back; nullopt-like 0 for an unknown name.
uint8_t RoleBitOf(std::string_view AName);
std::string RoleNames(uint8_t ARoles);  // "manifest,rollout"

// "aurevia-root/<version>.json" and ".sig" (forward slashes).
std::string RootDocumentPath(uint64_t AVersion);
std::string RootSignaturesPath(uint64_t AVersion);
