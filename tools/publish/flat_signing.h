#pragma once
// The flat manifest of a server folder, made and signed in memory before anything is written, and
// then put in place: the signature first, the manifest second. A reader that fetches the manifest
// and then its signature thus never pairs a new manifest with the old signature: once the new
// manifest is visible, its signature already is. In the moment between the renames (old manifest,
// new signature) a reader refuses and tries again later; a crash inside it leaves that pair until
// the next signing, refused but never accepted. Used by `sign` and by `rollout --flat`.
#include <openssl/evp.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tools/publish/publisher_key.h"
#include "update/trust/release_manifest.h"

namespace publish {

struct SignedManifest {
    TReleaseManifest Manifest;
    std::string Bytes;
    RawSignature Signature{};
};

// Lists `files` under the next serial of the folder (above the present manifest's, the clock and
// `minSerial`), expiring `validDays` from now, and signs it; checks that the launcher can read it
// and that the signature verifies. Raises PublishError(Failed) when the folder's present manifest
// cannot be read and no `minSerial` is given (its serial may be the highest ever published).
SignedManifest PrepareFlatManifest(const std::filesystem::path& folder, std::vector<TManifestFile> files,
                                   EVP_PKEY* key, int validDays, std::optional<uint64_t> minSerial);

// Signature then manifest, renamed into place from staged copies; the caller syncs the folder.
void PlaceFlatManifest(const std::filesystem::path& folder, const SignedManifest& signedManifest);

}  // namespace publish
