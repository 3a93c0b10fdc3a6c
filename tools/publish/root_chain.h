#pragma once
// The trust root a server folder holds (aurevia-root/<version>.json and .sig, update/trust/
// root_document.h): every version read from 1 upward and judged by the workstation's own rules,
// and the check that a signing key is certified by the newest for a role. A server without a root
// folder has none, and the commands sign as they did before roots existed.
#include <openssl/evp.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "update/trust/root_rules.h"

namespace publish {

// Versions a server may hold; a chain longer than this is refused rather than read without end.
inline constexpr uint64_t kMostRootVersions = 1000;

struct RootVersion {
    TRootDocument Root;
    std::string Bytes;
    std::vector<TRootSignature> Signatures;
};

// Every version, oldest first; empty when the server has no aurevia-root/ folder. Version 1 must be
// signed by a threshold of its own keys, each later one by the rules of JudgeNextRoot. Raises
// PublishError(BadSignature) naming the version that breaks the chain.
std::vector<RootVersion> ReadRootChain(const std::filesystem::path& server);

// The key id of a key (lowercase hex SHA-256 of its DER public key).
std::string KeyIdText(EVP_PKEY* key);

// With a root on the server: raises PublishError(NotCertified) unless the newest version certifies
// `key` for `role` now, and returns that root (its product goes into the documents signed). Without
// a root: nullopt, and any key signs as before.
std::optional<TRootDocument> CertifiedRoot(const std::filesystem::path& server, EVP_PKEY* key, TKeyRole role,
                                           int64_t now);

}  // namespace publish
