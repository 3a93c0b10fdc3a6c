#pragma once
// The flat manifest of a server folder, made and signed in memory before anything is written; it
// then goes with its signature into the next live generation (live_generation.h), so that readers
// see the new manifest and its signature together, never one beside the other's. Used by `sign`
// and by `rollout --flat`.
#include <openssl/evp.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tools/publish/root_chain.h"
#include "tools/publish/signed_document.h"
#include "update/trust/release_manifest.h"

namespace publish {

struct SignedManifest {
    TReleaseManifest Manifest;
    SignedDocument Document;
};

// Lists `files` under the next serial of the folder (above the present manifest's, the clock and
// `minSerial`), expiring `validDays` from `now`, and signs it; checks that the launcher can read it
// and that the signature verifies. Only a present manifest whose signature verifies with the key
// gives its serial (an unsigned or foreign one is ignored with a warning: no planted file can stop
// signing). Raises PublishError(Failed) when the present manifest cannot be read at all and no
// `minSerial` is given (its serial may be the highest ever published). With a root in force the
// manifest names its signer (`signer`, from CertifiedSigner).
SignedManifest PrepareFlatManifest(const std::filesystem::path& folder, std::vector<TManifestFile> files,
                                   EVP_PKEY* key, int64_t now, int validDays,
                                   std::optional<uint64_t> minSerial,
                                   const std::optional<SignerNaming>& signer = std::nullopt);

}  // namespace publish
