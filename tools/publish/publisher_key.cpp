#include "tools/publish/publisher_key.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>

#include <cstring>
#include <vector>

#include "tools/publish/durable_file.h"
#include "tools/publish/key_file.h"
#include "tools/publish/publish_error.h"
#include "update/trust/release_manifest.h"

namespace publish {

namespace {

template <class T, void (*Free)(T*)>
struct Freer {
    void operator()(T* p) const { Free(p); }
};
using Bio = std::unique_ptr<BIO, Freer<BIO, BIO_free_all>>;
using BigNumber = std::unique_ptr<BIGNUM, Freer<BIGNUM, BN_free>>;
using KeyContext = std::unique_ptr<EVP_PKEY_CTX, Freer<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, Freer<EVP_MD_CTX, EVP_MD_CTX_free>>;
using EcdsaSignature = std::unique_ptr<ECDSA_SIG, Freer<ECDSA_SIG, ECDSA_SIG_free>>;
using ParamBuilder = std::unique_ptr<OSSL_PARAM_BLD, Freer<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>>;
using Params = std::unique_ptr<OSSL_PARAM, Freer<OSSL_PARAM, OSSL_PARAM_free>>;

constexpr char kCurve[] = "prime256v1";  // OpenSSL's name for P-256
constexpr size_t kCoordinateSize = 32;

// The reason of OpenSSL's latest error, for a message; empties the error queue.
std::string OpenSslReason() {
    const unsigned long code = ERR_peek_last_error();
    ERR_clear_error();
    const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
    return reason != nullptr ? reason : "unknown reason";
}

[[noreturn]] void FailCrypto(const std::string& what) {
    throw PublishError(ExitStatus::Failed, what + ": " + OpenSslReason());
}

// Never asks for a passphrase: an encrypted key is refused instead of blocking on a terminal.
int NoPassphrase(char*, int, int, void*) { return -1; }

bool IsP256(EVP_PKEY* key) {
    if (!EVP_PKEY_is_a(key, "EC")) return false;
    char group[64] = {};
    size_t length = 0;
    if (EVP_PKEY_get_group_name(key, group, sizeof group, &length) != 1) return false;
    return std::strcmp(group, kCurve) == 0 || std::strcmp(group, "P-256") == 0;
}

std::string KindOf(EVP_PKEY* key) {
    char group[64] = {};
    size_t length = 0;
    if (EVP_PKEY_is_a(key, "EC") && EVP_PKEY_get_group_name(key, group, sizeof group, &length) == 1)
        return std::string("EC ") + group;
    const char* name = EVP_PKEY_get0_type_name(key);
    return name != nullptr ? name : "unknown";
}

std::vector<uint8_t> DerFrom(const RawSignature& raw) {
    EcdsaSignature signature(ECDSA_SIG_new());
    BigNumber r(BN_bin2bn(raw.data(), kCoordinateSize, nullptr));
    BigNumber s(BN_bin2bn(raw.data() + kCoordinateSize, kCoordinateSize, nullptr));
    if (!signature || !r || !s || ECDSA_SIG_set0(signature.get(), r.get(), s.get()) != 1)
        FailCrypto("Cannot form a signature");
    // Owned by the signature now.
    static_cast<void>(r.release());
    static_cast<void>(s.release());
    const int length = i2d_ECDSA_SIG(signature.get(), nullptr);
    if (length <= 0) FailCrypto("Cannot encode a signature");
    std::vector<uint8_t> der(static_cast<size_t>(length));
    uint8_t* out = der.data();
    i2d_ECDSA_SIG(signature.get(), &out);
    return der;
}

}  // namespace

Key GenerateKey() {
    Key key(EVP_EC_gen(kCurve));
    if (!key) FailCrypto("Cannot generate an ECDSA P-256 key");
    return key;
}

void WritePrivateKeyPem(EVP_PKEY* key, int fd) {
    Bio bio(BIO_new_fd(fd, BIO_NOCLOSE));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
        BIO_flush(bio.get()) != 1)
        FailCrypto("Cannot write the private key");
}

Key ReadPrivateKey(const std::filesystem::path& file) {
    std::string pem = ReadKeyFile(file, "private key", ExitStatus::UnreadableKey);
    Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio) FailCrypto("Cannot read the private key");
    Key key(PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassphrase, nullptr));
    bio.reset();
    OPENSSL_cleanse(pem.data(), pem.size());  // no copy of the secret left in freed memory
    if (!key)
        throw PublishError(ExitStatus::UnreadableKey,
                           "No private key can be read from " + file.string() +
                               " (a PEM private key without passphrase is expected): " + OpenSslReason());
    if (!IsP256(key.get()))
        throw PublishError(ExitStatus::OtherKindOfKey,
                           file.string() + " holds a key of another kind (" + KindOf(key.get()) +
                               "); aurevia-publish signs with ECDSA P-256 keys only (make one with keygen)");
    return key;
}

PublicPoint PublicPointOf(EVP_PKEY* key) {
    BIGNUM* x = nullptr;
    BIGNUM* y = nullptr;
    const bool got = EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_EC_PUB_X, &x) == 1 &&
                     EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_EC_PUB_Y, &y) == 1;
    const BigNumber ownedX(x), ownedY(y);
    PublicPoint point{};
    if (!got || BN_bn2binpad(x, point.data(), kCoordinateSize) != static_cast<int>(kCoordinateSize) ||
        BN_bn2binpad(y, point.data() + kCoordinateSize, kCoordinateSize) != static_cast<int>(kCoordinateSize))
        FailCrypto("Cannot read the public point of the key");
    return point;
}

Key PublicKeyFrom(const PublicPoint& point) {
    uint8_t encoded[1 + 2 * kCoordinateSize] = {0x04};  // uncompressed: 04, X, Y
    std::memcpy(encoded + 1, point.data(), point.size());
    ParamBuilder builder(OSSL_PARAM_BLD_new());
    if (!builder ||
        OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, kCurve, 0) != 1 ||
        OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, encoded, sizeof encoded) !=
            1)
        FailCrypto("Cannot describe the public key");
    const Params params(OSSL_PARAM_BLD_to_param(builder.get()));
    KeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* raw = nullptr;
    // The import refuses a point that is not on the curve.
    if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
        EVP_PKEY_fromdata(context.get(), &raw, EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
        throw PublishError(ExitStatus::UnreadableKey,
                           "The public key is not a point of the P-256 curve: " + OpenSslReason());
    return Key(raw);
}

RawSignature Sign(EVP_PKEY* key, std::string_view bytes) {
    DigestContext context(EVP_MD_CTX_new());
    size_t length = 0;
    if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &length, reinterpret_cast<const uint8_t*>(bytes.data()),
                       bytes.size()) != 1)
        FailCrypto("Cannot sign");
    std::vector<uint8_t> der(length);
    if (EVP_DigestSign(context.get(), der.data(), &length, reinterpret_cast<const uint8_t*>(bytes.data()),
                       bytes.size()) != 1)
        FailCrypto("Cannot sign");
    const uint8_t* in = der.data();
    EcdsaSignature signature(d2i_ECDSA_SIG(nullptr, &in, static_cast<long>(length)));
    if (!signature) FailCrypto("Cannot read the signature OpenSSL made");
    RawSignature raw{};
    if (BN_bn2binpad(ECDSA_SIG_get0_r(signature.get()), raw.data(), kCoordinateSize) !=
            static_cast<int>(kCoordinateSize) ||
        BN_bn2binpad(ECDSA_SIG_get0_s(signature.get()), raw.data() + kCoordinateSize, kCoordinateSize) !=
            static_cast<int>(kCoordinateSize))
        FailCrypto("Cannot write the signature in its raw form");
    return raw;
}

bool Verifies(EVP_PKEY* key, std::string_view bytes, std::string_view signature) {
    if (signature.size() != kManifestSignatureSize) return false;
    RawSignature raw{};
    std::memcpy(raw.data(), signature.data(), raw.size());
    const std::vector<uint8_t> der = DerFrom(raw);
    DigestContext context(EVP_MD_CTX_new());
    const bool verified = context &&
                          EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key) == 1 &&
                          EVP_DigestVerify(context.get(), der.data(), der.size(),
                                           reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()) == 1;
    ERR_clear_error();
    return verified;
}

Key ReadPublicKey(std::string_view fileOrText) {
    std::string text(fileOrText);
    std::error_code error;
    const std::filesystem::path file(text);
    // Whatever exists at the path is read as a key file (and a pipe, device or folder refused); a
    // path to nothing is the key text itself.
    const bool isFile = std::filesystem::exists(std::filesystem::symlink_status(file, error));
    if (isFile) text = ReadKeyFile(file, "public key file", ExitStatus::UnreadableKey);
    try {
        return PublicKeyFrom(DecodePublisherKey(text));
    } catch (const TManifestError& e) {
        const size_t start = text.find_first_not_of(" \t\r\n");
        const std::string_view head = start == std::string::npos ? "" : std::string_view(text).substr(start);
        if (head.rfind(kPublisherKeyPrefix, 0) == 0) throw PublishError(ExitStatus::UnreadableKey, e.what());
        // Text in the form of another algorithm's key: "name:..." (this tool's form), an OpenSSH
        // line, a PEM block.
        const size_t colon = head.find(':');
        const bool otherKind =
            head.rfind("-----BEGIN ", 0) == 0 || head.rfind("ssh-", 0) == 0 || head.rfind("ecdsa-", 0) == 0 ||
            (colon != std::string_view::npos && colon > 0 &&
             head.substr(0, colon).find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-") ==
                 std::string_view::npos);
        if (otherKind)
            throw PublishError(ExitStatus::OtherKindOfKey,
                               std::string(e.what()) + "; aurevia-publish verifies ECDSA P-256 keys only");
        if (!isFile)
            throw PublishError(ExitStatus::UnreadableKey,
                               "No public key file " + text + ", nor a key text (ecdsa-p256:...)");
        throw PublishError(ExitStatus::UnreadableKey, file.string() + " holds no public key: " + e.what());
    }
}

}  // namespace publish
