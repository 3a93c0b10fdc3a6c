#pragma once
// Release control: the signed documents that let one server folder keep several releases side by
// side and say which ring of workstations takes which. Portable (no <windows.h>): the publisher's
// tool writes them on Linux, the launcher reads them on Windows.
//
// Beside the flat files of the server folder:
//   aurevia-objects/<2 hex>/<64 hex>     every file of every release, stored once under its SHA-256
//                                        (lowercase; the first two digits name the sub-folder).
//   aurevia-releases/<serial>.json/.sig  a release: every file's name (as the launcher writes it),
//                                        size, SHA-256 and age (last-write time, whole seconds):
//     {"format":"aurevia-release/1","serial":3,"created":"2026-12-10T20:00:00Z","note":"optional",
//      "files":[{"name":"Relatorio\\Rpt.rav","size":1234,"sha256":"<64 hex>","age":"..."},...]}
//   aurevia-objects/<2 hex>/<64 hex>.deflate   the same content deflated (a zlib stream), for the
//                                        files whose entry adds "stored":"deflate","stored_size":N
//                                        (N: the deflated object's size). The plain object stays
//                                        beside it for launchers that read no "stored".
//     A file may list binary patches (common/binary_patch.h) that make it from older versions, each
//     an object under its own SHA-256: "patches":[{"from":"<sha256 of the old file>",
//     "sha256":"<sha256 of the patch>","size":N},...].
//   aurevia-rollout.json/.sig            which release each ring takes, with a serial that only grows:
//     {"format":"aurevia-rollout/1","serial":1765400000,"expires":"2027-01-09T20:00:00Z",
//      "rings":[{"ring":"geral","release":3,"previous":2,"percent":50,
//                "release_sha256":"<64 hex>","previous_sha256":"<64 hex>"},
//               {"ring":"piloto","release":4,"percent":100,"staged":5,"staged_sha256":"<64 hex>"}]}
// Signatures as for the flat manifest (release_manifest.h). Members a reader does not know are
// ignored. A workstation whose rollout number (0..99) is below a ring's percent takes "release",
// any other takes "previous"; without "previous" the percent must be 100. "release_sha256" and
// "previous_sha256" pin those releases to the SHA-256 of their .json bytes: a serial alone names
// whatever a folder holds under it (another deployment's release copied in, a release rewritten),
// the pin names the one document the publisher rolled out. Documents of earlier publishers carry no
// pins and are read as before. "staged" names a release the ring's workstations fetch ahead of its
// switch and install nothing of; "staged_sha256" is the SHA-256 of that release document's .json
// bytes, and comes only with "staged".
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "update/trust/release_manifest.h"

inline constexpr std::string_view kReleaseFormat = "aurevia-release/1";
inline constexpr std::string_view kRolloutFormat = "aurevia-rollout/1";
inline constexpr std::string_view kObjectsFolderName = "aurevia-objects";
inline constexpr std::string_view kReleasesFolderName = "aurevia-releases";
inline constexpr std::string_view kRolloutFileName = "aurevia-rollout.json";
inline constexpr std::string_view kRolloutSignatureFileName = "aurevia-rollout.sig";
inline constexpr std::string_view kDefaultRing = "geral";
inline constexpr size_t kMostRingNameLength = 32;
inline constexpr std::string_view kStoredDeflate = "deflate";
inline constexpr std::string_view kDeflatedObjectSuffix = ".deflate";

inline constexpr size_t kMostPatchesPerFile = 16;

// A binary patch that makes a release's file from the version of it with the SHA-256 `From`.
struct TFilePatch {
    TSha256 From{};
    TSha256 Sha256{};  // of the patch, which is stored as an object under it
    uint64_t Size = 0;
};

struct TReleaseFile {
    std::string Name;  // UTF-8, relative, backslashes
    uint64_t Size = 0;
    TSha256 Sha256{};
    int64_t AgeUnix = 0;  // last-write time, seconds since 1970-01-01T00:00:00Z
    // The size of the deflated object (DeflatedObjectPath) when there is one; none: plain only.
    std::optional<uint64_t> DeflatedSize = std::nullopt;
    std::vector<TFilePatch> Patches = {};  // at most kMostPatchesPerFile, each from another version
};

struct TRelease {
    uint64_t Serial = 0;  // 1, 2, 3...
    int64_t CreatedUnix = 0;
    std::string Note;  // empty: none
    std::vector<TReleaseFile> Files;
    std::string Key{};         // the signer's key id; empty when signed without a root in force
    std::string Product{};     // the root's product; empty likewise
    std::string Deployment{};  // the deployment (server folder) it was published for; empty likewise
};

struct TRingAssignment {
    // An aggregate: the members after Percent have defaults, so {ring, release, previous, percent} is whole.
    std::string Ring;
    uint64_t Release = 0;
    std::optional<uint64_t> Previous;
    unsigned Percent = 100;
    // The pins of Release's and Previous's documents (PreviousSha256 only with Previous); none: not
    // pinned.
    std::optional<TSha256> ReleaseSha256 = std::nullopt;
    std::optional<TSha256> PreviousSha256 = std::nullopt;
    // A release fetched ahead of its switch, and the SHA-256 of its document (only with Staged).
    std::optional<uint64_t> Staged = std::nullopt;
    std::optional<TSha256> StagedSha256 = std::nullopt;
};

struct TRollout {
    uint64_t Serial = 0;
    int64_t ExpiresUnix = 0;
    std::vector<TRingAssignment> Rings;
    std::string Key{};         // the signer's key id; empty when signed without a root in force
    std::string Product{};     // the root's product; empty likewise
    std::string Deployment{};  // the deployment (server folder) it was published for; empty likewise
};

// Read a document; raise TManifestError for anything but a well-formed one: not JSON, another
// format, a member missing, given twice or of another kind, a number that is not an unsigned
// integer, an instant not of the form above, a hash that is not 64 hex digits, a release serial of
// 0, a file name that a Windows workstation cannot hold or that is listed twice (letter case
// aside), a file's patches that are more than kMostPatchesPerFile, start from the file itself or
// twice from one version, or are empty, a ring name that is not 1-32 of [a-z0-9_-] or is given twice,
// a percent above 100, a percent below 100 without a previous release, or a pin of a previous release
// that is not given.
TRelease DecodeRelease(std::string_view bytes);
TRollout DecodeRollout(std::string_view bytes);

// Write a document in the form above (files and rings in the order given; "note" only when not
// empty, "previous" only when present). Raise TManifestError for a document that the decoder would
// refuse, so that nothing unreadable is ever signed.
std::string EncodeRelease(const TRelease& release);
std::string EncodeRollout(const TRollout& rollout);

// "aurevia-objects/ab/ab12..." for a content (forward slashes; the launcher turns them into
// backslashes for names).
std::string ObjectPath(const TSha256& sha256);
// ObjectPath + ".deflate": the content deflated, named by the SHA-256 of the inflated bytes.
std::string DeflatedObjectPath(const TSha256& sha256);

// Whether a ring name is 1-32 characters of [a-z0-9_-].
bool IsValidRingName(std::string_view ring);

// The bytes whose SHA-256 gives a workstation's rollout number:
//   "aurevia-rollout/1\n" + machine + "\n" + ring + "\n" + release serial in decimal
// The caller hashes them (CNG on Windows, OpenSSL on Linux) and passes the digest below.
std::string RolloutNumberInput(std::string_view machine, std::string_view ring, uint64_t release);
// The first 8 bytes of the digest, big-endian, modulo 100: 0..99.
unsigned RolloutNumberFromDigest(const TSha256& digest);

// The entry that governs a ring's workstations: the ring's own, else "geral"'s, else nullptr. Its
// Release is the serial that a workstation's rollout number is computed with.
const TRingAssignment* RingEntry(const TRollout& rollout, std::string_view ring);

// The release a ring's workstation with that number takes: by the ring's entry, else "geral"'s,
// "release" when the number is below the percent, else "previous"; nullopt when no entry applies.
std::optional<uint64_t> AssignedRelease(const TRollout& rollout, std::string_view ring, unsigned number);
// The pin of the release AssignedRelease names for the same workstation; none when that release is
// not pinned (or none is assigned).
std::optional<TSha256> AssignedReleasePin(const TRollout& rollout, std::string_view ring, unsigned number);
