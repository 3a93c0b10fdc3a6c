#pragma once
// The publisher's ECDSA P-256 key through OpenSSL's libcrypto: generation, the private key's PEM
// file, the public point that the launcher's key text carries, and signatures in the raw r||s form
// that the launcher's verifier (Windows CNG) takes. Nothing here does arithmetic of its own.
#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace publish {

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;

using PublicPoint = std::array<uint8_t, 64>;   // X then Y, big-endian
using RawSignature = std::array<uint8_t, 64>;  // r then s, big-endian

Key GenerateKey();

// Writes the private key as unencrypted PKCS#8 PEM to an open file descriptor.
void WritePrivateKeyPem(EVP_PKEY* key, int fd);

// Reads a private key PEM file. Raises PublishError: UnreadableKey when the file cannot be read or
// holds no private key, OtherKindOfKey for a key that is not ECDSA P-256.
Key ReadPrivateKey(const std::filesystem::path& file);

PublicPoint PublicPointOf(EVP_PKEY* key);

// The public key for a point; raises PublishError(UnreadableKey) for a point not on the curve.
Key PublicKeyFrom(const PublicPoint& point);

// ECDSA over SHA-256 of the bytes.
RawSignature Sign(EVP_PKEY* key, std::string_view bytes);
bool Verifies(EVP_PKEY* key, std::string_view bytes, std::string_view signature);

// The public key an argument names: the path of a key file or the key text itself
// ("ecdsa-p256:..."). Raises PublishError: UnreadableKey, or OtherKindOfKey for the text of
// another kind of key (another algorithm's prefix, an OpenSSH line, a PEM block).
Key ReadPublicKey(std::string_view fileOrText);

}  // namespace publish
