#include "tools/publish/root_chain.h"

#include "tools/publish/key_file.h"
#include "tools/publish/publish_error.h"
#include "tools/publish/publisher_key.h"
#include "tools/publish/root_signature_check.h"
#include "tools/publish/server_store.h"
#include "update/trust/document_text.h"

namespace fs = std::filesystem;

namespace publish {

std::vector<RootVersion> ReadRootChain(const fs::path& server) {
    std::vector<RootVersion> chain;
    std::error_code error;
    if (!fs::exists(fs::symlink_status(server / kRootFolderName, error))) return chain;
    const OpenSslSignatureCheck check;
    for (uint64_t version = 1;; ++version) {
        const fs::path document = server / RootDocumentPath(version);
        if (!fs::exists(fs::symlink_status(document, error))) break;
        if (version > kMostRootVersions)
            throw PublishError(
                ExitStatus::BadSignature,
                "The server holds more than " + std::to_string(kMostRootVersions) + " root versions");
        TRootVersionBytes bytes;
        bytes.Document =
            ReadRegularFile(document, "root document", ExitStatus::BadSignature, kMostRootDocumentSize + 1);
        bytes.Signatures = ReadRegularFile(server / RootSignaturesPath(version), "root signatures",
                                           ExitStatus::BadSignature, kMostRootSignaturesSize + 1);
        const TRootJudged judged = chain.empty()
                                       ? JudgeAnchoredRoot(check, check.Sha256(bytes.Document), bytes)
                                       : JudgeNextRoot(check, chain.back().Root, bytes);
        if (!judged.Accepted())
            throw PublishError(ExitStatus::BadSignature,
                               "Root version " + std::to_string(version) + " on the server is refused: " +
                                   RootRefusalText(judged.Refusal) + " (" + judged.Detail + ")");
        if (judged.Root.Version != version)
            throw PublishError(ExitStatus::BadSignature, document.string() + " holds root version " +
                                                             std::to_string(judged.Root.Version));
        chain.push_back({judged.Root, bytes.Document, DecodeRootSignatures(bytes.Signatures)});
    }
    if (chain.empty())
        throw PublishError(ExitStatus::BadSignature,
                           "The server's " + std::string(kRootFolderName) + "/ folder holds no version 1");
    return chain;
}

std::string KeyIdText(EVP_PKEY* key) {
    return document_text::HexOf(KeyIdOf(OpenSslSignatureCheck(), PublicPointOf(key)));
}

std::optional<SignerNaming> CertifiedSigner(const fs::path& server, EVP_PKEY* key, TKeyRole role, int64_t now,
                                            std::string_view deployment) {
    const std::vector<RootVersion> chain = ReadRootChain(server);
    if (chain.empty()) {
        DeploymentOf(server, deployment, false);
        return std::nullopt;
    }
    const TRootDocument& root = chain.back().Root;
    const TKeyJudged judged =
        JudgeSigningKey(root, KeyIdOf(OpenSslSignatureCheck(), PublicPointOf(key)), role, now);
    if (!judged.Accepted())
        throw PublishError(ExitStatus::NotCertified, "The root in force does not let this key sign " +
                                                         RoleNames(static_cast<uint8_t>(role)) +
                                                         " documents: " + KeyRefusalText(judged.Refusal) +
                                                         ", " + judged.Detail);
    return SignerNaming{document_text::HexOf(judged.Key->Id), root.Product,
                        *DeploymentOf(server, deployment, true)};
}

void KeepSignerDeployment(const fs::path& server, const std::optional<SignerNaming>& signer,
                          std::string_view deployment) {
    if (signer) {
        KeepDeployment(server, signer->Deployment);
    } else if (const std::optional<FolderDeployment> named = DeploymentOf(server, deployment, false)) {
        KeepDeployment(server, *named);
    }
}

Key CertifiedReleaseSigner(const fs::path& server, uint64_t serial, int64_t now) {
    const std::vector<RootVersion> chain = ReadRootChain(server);
    const fs::path file = ReleaseFile(server, serial, ".json");
    std::error_code error;
    if (!fs::exists(fs::symlink_status(file, error)))
        throw PublishError(ExitStatus::NotFound, "The server keeps no release " + std::to_string(serial));
    // Read unverified only to learn which key to verify it with; ReadRelease then verifies.
    std::string keyId;
    try {
        keyId =
            DecodeRelease(ReadRegularFile(file, "release", ExitStatus::BadSignature, kMostDocumentSize)).Key;
    } catch (const TManifestError& e) {
        throw PublishError(ExitStatus::BadSignature,
                           "Release " + std::to_string(serial) + " cannot be read: " + e.what());
    }
    const std::string what = "Release " + std::to_string(serial);
    if (keyId.empty() || chain.empty())
        throw PublishError(ExitStatus::NotCertified,
                           what + " names no signing key of the root; publish it again");
    const TKeyJudged judged =
        JudgeSigningKey(chain.back().Root, document_text::Sha256From(keyId), TKeyRole::Manifest, now);
    if (!judged.Accepted())
        throw PublishError(ExitStatus::NotCertified,
                           what + " is signed by a key the root in force does not accept (" +
                               std::string(KeyRefusalText(judged.Refusal)) + ", " + judged.Detail +
                               "); publish it again");
    return PublicKeyFrom(judged.Key->Point);
}

}  // namespace publish
