#include "update/trust/publisher_key.h"

#include <cstring>
#include <vector>

TPublisherKey::TPublisherKey(std::string_view AText) {
    const std::array<uint8_t, 64> point = DecodePublisherKey(AText);
    CheckCng(BCryptOpenAlgorithmProvider(FAlgorithm.put(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0),
             "BCryptOpenAlgorithmProvider(ECDSA_P256)");
    std::vector<UCHAR> blob(sizeof(BCRYPT_ECCKEY_BLOB) + point.size());
    BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
    std::memcpy(blob.data(), &header, sizeof(header));
    std::memcpy(blob.data() + sizeof(header), point.data(), point.size());
    const NTSTATUS status = BCryptImportKeyPair(FAlgorithm.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, FKey.put(),
                                                blob.data(), static_cast<ULONG>(blob.size()), 0);
    if (status < 0) throw TManifestError("the public key is not a point of the P-256 curve");
}

bool TPublisherKey::Verifies(std::string_view AMessage, std::string_view ASignature) const {
    if (ASignature.size() != kManifestSignatureSize) return false;
    TSha256 digest = Sha256Of(AMessage);
    std::vector<UCHAR> signature(ASignature.begin(), ASignature.end());
    return BCryptVerifySignature(FKey.get(), nullptr, digest.data(), static_cast<ULONG>(digest.size()),
                                 signature.data(), static_cast<ULONG>(signature.size()), 0) >= 0;
}
