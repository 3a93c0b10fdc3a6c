#include "tools/publish/root_signature_check.h"

#include <openssl/evp.h>

#include "tools/publish/publish_error.h"
#include "tools/publish/publisher_key.h"

namespace publish {

TSha256 OpenSslSignatureCheck::Sha256(std::string_view bytes) const {
    TSha256 digest{};
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1 ||
        length != digest.size())
        throw PublishError(ExitStatus::Failed, "Cannot compute a SHA-256");
    return digest;
}

bool OpenSslSignatureCheck::Verifies(const TPublicPoint& key, std::string_view bytes,
                                     std::string_view signature) const {
    try {
        return publish::Verifies(PublicKeyFrom(key).get(), bytes, signature);
    } catch (const PublishError&) {
        return false;
    }
}

}  // namespace publish
