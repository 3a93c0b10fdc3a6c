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
#include <string_view>
#include <vector>

#include "tools/publish/publisher_key.h"
#include "tools/publish/server_deployment.h"
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

// What a document signed under a root names: the signer's key id, the root's product and the
// server folder's deployment (server_deployment.h).
struct SignerNaming {
    std::string Key;
    std::string Product;
    FolderDeployment Deployment;

    template <class TDocument>
    void Into(TDocument& document) const {
        document.Key = Key;
        document.Product = Product;
        document.Deployment = Deployment.Name;
    }
};

// With a root on the server: raises PublishError(NotCertified) unless the newest version certifies
// `key` for `role` now, and returns what the documents signed with it name, the deployment being
// the folder's (`deployment` when it has none yet, else a made-up one). Without a root: nullopt,
// and any key signs as before. Either way a `deployment` that is not the folder's is refused
// (DeploymentOf) before anything is written.
std::optional<SignerNaming> CertifiedSigner(const std::filesystem::path& server, EVP_PKEY* key, TKeyRole role,
                                            int64_t now, std::string_view deployment = {});

// Keeps the deployment the documents just signed name (or, without a root, the one `deployment`
// gave) in the folder when it is new there. Call under the folder's lock before switching the
// documents in.
void KeepSignerDeployment(const std::filesystem::path& server, const std::optional<SignerNaming>& signer,
                          std::string_view deployment);

// With a root on the server: the public key of the release `serial`'s signer, the key it names,
// when the newest root certifies that key for manifests now (a rollout key cannot check a release
// signed by another key). Raises PublishError(NotCertified) for a release that names no such key.
Key CertifiedReleaseSigner(const std::filesystem::path& server, uint64_t serial, int64_t now);

}  // namespace publish
