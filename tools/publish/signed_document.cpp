#include "tools/publish/signed_document.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/publish/durable_file.h"
#include "tools/publish/publish_error.h"
#include "tools/publish/publisher_key.h"

namespace fs = std::filesystem;

namespace publish {

namespace {

constexpr mode_t kPublishedMode = S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH;

}  // namespace

SignedDocument SignDocument(const fs::path& name, std::string bytes, EVP_PKEY* key) {
    const RawSignature raw = Sign(key, bytes);
    std::string signature(reinterpret_cast<const char*>(raw.data()), raw.size());
    const Key publicKey = PublicKeyFrom(PublicPointOf(key));
    if (!Verifies(publicKey.get(), bytes, signature))
        throw PublishError(ExitStatus::Failed, "The new signature does not verify; nothing was replaced");
    fs::path signatureName = name;
    signatureName.replace_extension(".sig");
    return SignedDocument{name, std::move(signatureName), std::move(bytes), std::move(signature)};
}

void CreateSignedDocument(const fs::path& server, const SignedDocument& document) {
    const fs::path target = server / document.Name;
    const fs::path folder = target.parent_path();
    StagedFile signature(folder, document.Signature, kPublishedMode);
    StagedFile bytes(folder, document.Bytes, kPublishedMode);
    // A signature left by a command that stopped before its document is no one's: replaced.
    signature.ReplaceInto(server / document.SignatureName);
    bytes.LinkInto(target);
}

}  // namespace publish
