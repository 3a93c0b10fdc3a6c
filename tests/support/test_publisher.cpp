#include "support/test_publisher.h"

#include <cstring>
#include <stdexcept>
#include <vector>

#include "base/string_convert.h"
#include "support/test_files.h"

namespace {

void Check(NTSTATUS AStatus, const char* ACall) {
    if (AStatus < 0) throw std::runtime_error(std::string(ACall) + " failed");
}

}  // namespace

TestPublisher::TestPublisher() {
    Check(BCryptOpenAlgorithmProvider(&FAlgorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0), "open");
    Check(BCryptGenerateKeyPair(FAlgorithm, &FKey, 256, 0), "generate");
    Check(BCryptFinalizeKeyPair(FKey, 0), "finalize");
}

TestPublisher::~TestPublisher() {
    BCryptDestroyKey(FKey);
    BCryptCloseAlgorithmProvider(FAlgorithm, 0);
}

std::wstring TestPublisher::PublicKeyText() const {
    std::vector<UCHAR> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 64);
    ULONG size = 0;
    Check(BCryptExportKey(FKey, nullptr, BCRYPT_ECCPUBLIC_BLOB, blob.data(), static_cast<ULONG>(blob.size()),
                          &size, 0),
          "export");
    std::array<uint8_t, 64> point{};
    std::memcpy(point.data(), blob.data() + sizeof(BCRYPT_ECCKEY_BLOB), point.size());
    return Utf8ToWide(EncodePublisherKey(point));
}

std::string TestPublisher::Sign(std::string_view ABytes) const {
    TSha256 digest = OneShotSha256(ABytes);
    std::string signature(64, '\0');
    ULONG size = 0;
    Check(BCryptSignHash(FKey, nullptr, digest.data(), static_cast<ULONG>(digest.size()),
                         reinterpret_cast<PUCHAR>(signature.data()), static_cast<ULONG>(signature.size()),
                         &size, 0),
          "sign");
    signature.resize(size);
    return signature;
}

TManifestFile TestPublisher::Entry(const std::string& AName, std::string_view AContent) {
    return TManifestFile{AName, AContent.size(), OneShotSha256(AContent)};
}

TReleaseManifest TestPublisher::ManifestOf(const std::wstring& AFolder, uint64_t ASerial,
                                           int64_t AExpiresUnix) {
    TReleaseManifest manifest{ASerial, AExpiresUnix, {}};
    for (const std::wstring& name : FilesUnder(AFolder)) {
        const std::string utf8 = WideToUtf8(name);
        if (utf8 == kManifestFileName || utf8 == kManifestSignatureFileName) continue;
        manifest.Files.push_back(Entry(utf8, ReadWholeFile(AFolder + name)));
    }
    return manifest;
}

void TestPublisher::Publish(const std::wstring& AFolder, const TReleaseManifest& AManifest) const {
    const std::string bytes = EncodeReleaseManifest(AManifest);
    WriteWholeFile(AFolder + Utf8ToWide(kManifestFileName), bytes);
    WriteWholeFile(AFolder + Utf8ToWide(kManifestSignatureFileName), Sign(bytes));
}

TReleaseManifest TestPublisher::PublishFolder(const std::wstring& AFolder, uint64_t ASerial,
                                              int64_t AExpiresUnix) const {
    TReleaseManifest manifest = ManifestOf(AFolder, ASerial, AExpiresUnix);
    Publish(AFolder, manifest);
    return manifest;
}

TSha256 OneShotSha256(std::string_view ABytes) {
    BCRYPT_ALG_HANDLE sha = nullptr;
    Check(BCryptOpenAlgorithmProvider(&sha, BCRYPT_SHA256_ALGORITHM, nullptr, 0), "open sha");
    TSha256 digest{};
    const NTSTATUS status =
        BCryptHash(sha, nullptr, 0, reinterpret_cast<PUCHAR>(const_cast<char*>(ABytes.data())),
                   static_cast<ULONG>(ABytes.size()), digest.data(), 32);
    BCryptCloseAlgorithmProvider(sha, 0);
    Check(status, "hash");
    return digest;
}

int64_t UnixNowPlus(int64_t AOffsetSeconds) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const uint64_t ticks = (uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
    return static_cast<int64_t>(ticks / 10000000u) - 11644473600 + AOffsetSeconds;
}
