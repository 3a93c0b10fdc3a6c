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

#include "tools/publish/publisher_key.h"
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

// What a document signed under a root names: the signer's key id and the root's product.
struct SignerNaming {
    std::string Key;
    std::string Product;

    template <class TDocument>
    void Into(TDocument& document) const {
        document.Key = Key;
        document.Product = Product;
    }
};

// With a root on the server: raises PublishError(NotCertified) unless the newest version certifies
// `key` for `role` now, and returns what the documents signed with it name. Without a root:
// nullopt, and any key signs as before.
std::optional<SignerNaming> CertifiedSigner(const std::filesystem::path& server, EVP_PKEY* key, TKeyRole role,
                                            int64_t now);

// With a root on the server: the public key of the release `serial`'s signer, the key it names,
// when the newest root certifies that key for manifests now (a rollout key cannot check a release
// signed by another key). Raises PublishError(NotCertified) for a release that names no such key.
Key CertifiedReleaseSigner(const std::filesystem::path& server, uint64_t serial, int64_t now);

}  // namespace publish
