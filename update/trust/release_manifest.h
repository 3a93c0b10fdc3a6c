#pragma once
// The release manifest: the publisher's signed statement of what one server folder holds. Portable
// (no <windows.h>): the publisher's tool writes it on Linux, the launcher reads it on Windows.
//
// Two ordinary files at the root of the server folder, served like any other file:
//   aurevia-manifest.json   UTF-8 JSON, exactly the bytes that were signed:
//     {"format":"aurevia-manifest/1","serial":1765378800,"expires":"2027-01-09T14:00:00Z",
//      "files":[{"name":"Relatorio\\Rpt.rav","size":1234,"sha256":"<64 lowercase hex digits>"},...]}
//     serial   unsigned integer that grows with every signing of the folder;
//     expires  the instant in UTC after which the manifest is refused, "YYYY-MM-DDTHH:MM:SSZ";
//     files    every file under the folder but the two manifest files: the name relative to the
//              folder with backslashes between levels (as the launcher writes names), the size in
//              bytes and the SHA-256 of the content. Members the reader does not know are ignored.
//   aurevia-manifest.sig    the ECDSA P-256 signature over SHA-256 of the manifest's bytes: 64 raw
//                           bytes, r then s, each big-endian and padded to 32 bytes.
// The publisher's public key travels as one line of text: "ecdsa-p256:" followed by the base64 of
// the uncompressed point (0x04, X, Y: 65 bytes).
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"

inline constexpr std::string_view kManifestFileName = "aurevia-manifest.json";
inline constexpr std::string_view kManifestSignatureFileName = "aurevia-manifest.sig";
inline constexpr std::string_view kManifestFormat = "aurevia-manifest/1";
inline constexpr std::string_view kPublisherKeyPrefix = "ecdsa-p256:";
inline constexpr size_t kManifestSignatureSize = 64;

using TSha256 = std::array<uint8_t, 32>;

struct TManifestFile {
    std::string Name;  // UTF-8, relative, backslashes
    uint64_t Size = 0;
    TSha256 Sha256{};
};

struct TReleaseManifest {
    uint64_t Serial = 0;
    int64_t ExpiresUnix = 0;  // seconds since 1970-01-01T00:00:00Z
    std::vector<TManifestFile> Files;
    // The signer's key id, the root's product and the deployment (server folder) it was published
    // for; empty when signed without a root in force.
    std::string Key{};
    std::string Product{};
    std::string Deployment{};
};

// A manifest or key text that cannot be read; what() says what is wrong with it. One of the
// launcher's errors (base/error.h), so whatever catches those shows its text.
class TManifestError : public Error {
  public:
    explicit TManifestError(const std::string& message) : Error(message, TErrorCategory::Signature) {}
};

// Reads a manifest. Raises TManifestError for anything but a well-formed one: not JSON, another
// format, a missing or malformed member, a serial or size that is not an unsigned integer, a hash
// that is not 64 hex digits, a name that is empty, rooted, holds a drive or stream colon or a ".."
// level, or a name listed twice (ASCII letter case ignored).
TReleaseManifest DecodeReleaseManifest(std::string_view bytes);

// Writes the manifest in the form above, files in the order given.
std::string EncodeReleaseManifest(const TReleaseManifest& manifest);

// The file a name stands for (ASCII letter case ignored), or nullptr.
const TManifestFile* FindManifestFile(const TReleaseManifest& manifest, std::string_view name);

// "ecdsa-p256:<base64>" to the 64 bytes X then Y, and back. Raises TManifestError for another kind
// of key, bad base64, or a point that is not 65 bytes starting with 0x04 (the curve check is the
// verifier's, when it imports the key).
std::array<uint8_t, 64> DecodePublisherKey(std::string_view text);
std::string EncodePublisherKey(const std::array<uint8_t, 64>& point);
