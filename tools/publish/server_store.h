#pragma once
// The release-control side of a server folder (update/trust/release_documents.h has the layout):
// the releases it keeps, its rollout document and its objects, read and written under the folder's
// lock. Writes are staged and flushed like the flat manifest's.
#include <openssl/evp.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tools/publish/clock_check.h"
#include "tools/publish/durable_file.h"
#include "tools/publish/signed_document.h"
#include "update/trust/release_documents.h"

namespace publish {

inline constexpr size_t kMostDocumentSize = 64 * 1024 * 1024;

std::filesystem::path ReleasesFolder(const std::filesystem::path& server);
std::filesystem::path ReleaseFile(const std::filesystem::path& server, uint64_t serial,
                                  const char* extension);
std::filesystem::path ObjectFile(const std::filesystem::path& server, const TSha256& sha256);

// The serials of the releases the folder keeps ("<serial>.json" in aurevia-releases/), ascending.
std::vector<uint64_t> ReleaseSerials(const std::filesystem::path& server);

// A release as kept. With a key, its signature must verify with it (else PublishError BadSignature);
// a release that is not there raises NotFound, one that cannot be read BadSignature.
TRelease ReadRelease(const std::filesystem::path& server, uint64_t serial, EVP_PKEY* publicKey);

// The rollout document; nullopt when the folder has none. With a key its signature must verify,
// unless `adoptUnverified` (after a change of key): then one that does not verify is read anyway,
// with a warning.
std::optional<TRollout> ReadRollout(const std::filesystem::path& server, EVP_PKEY* publicKey,
                                    bool adoptUnverified = false);

// The serial of the next release: one above the newest release whose signature verifies with the
// key (a name on the server proves nothing: a file "18446744073709551615.json" does not stop
// publishing), stepping over names that are taken. The newest verified release's creation goes into
// `newest` (for the clock check).
uint64_t NextReleaseSerial(const std::filesystem::path& server, EVP_PKEY* publicKey,
                           std::optional<TRelease>& newest);

// The newest signing the server shows: the verified rollout document's serial (which follows the
// clock), the newest verified release's creation, and when the present rollout document and flat
// manifest were written.
SigningEvidence EvidenceOf(const std::filesystem::path& server, EVP_PKEY* publicKey);

// Whether a stored object is a regular file of that size and SHA-256 (read in full).
bool ObjectHolds(const std::filesystem::path& object, uint64_t size, const TSha256& sha256);

struct StoredObject {
    std::string
        Hex;  // the content's SHA-256 its name gives (also a ".deflate" one's); empty for another name
    std::filesystem::path Path;
    uint64_t Size = 0;
};
// Every file under aurevia-objects/ (temporaries aside).
std::vector<StoredObject> ListObjects(const std::filesystem::path& server);

// The releases and rings that the rollout document names (release and previous).
std::vector<uint64_t> ReferencedReleases(const std::optional<TRollout>& rollout);

}  // namespace publish
