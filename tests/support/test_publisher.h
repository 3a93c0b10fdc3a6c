#pragma once
// A release publisher for the Windows tests: a fresh ECDSA P-256 key pair made with CNG, and signed
// manifests of real folders, written beside their files as the publisher's tool writes them. The
// digests here come from CNG's one-shot BCryptHash, not from the launcher's hasher.
#include <windows.h>
#include <bcrypt.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "update/trust/release_manifest.h"

class TestPublisher {
  public:
    TestPublisher();
    ~TestPublisher();
    TestPublisher(const TestPublisher&) = delete;
    TestPublisher& operator=(const TestPublisher&) = delete;

    // The line an administrator puts into Aurevia.ini: "ecdsa-p256:<base64>".
    std::wstring PublicKeyText() const;
    // r then s, 64 bytes, over SHA-256 of ABytes.
    std::string Sign(std::string_view ABytes) const;

    // The manifest of every file under AFolder (ending in "\"), the two manifest files left out.
    static TReleaseManifest ManifestOf(const std::wstring& AFolder, uint64_t ASerial, int64_t AExpiresUnix);
    static TManifestFile Entry(const std::string& AName, std::string_view AContent);
    // Writes aurevia-manifest.json and its signature into AFolder.
    void Publish(const std::wstring& AFolder, const TReleaseManifest& AManifest) const;
    // ManifestOf then Publish; returns the manifest.
    TReleaseManifest PublishFolder(const std::wstring& AFolder, uint64_t ASerial, int64_t AExpiresUnix) const;

  private:
    BCRYPT_ALG_HANDLE FAlgorithm = nullptr;
    BCRYPT_KEY_HANDLE FKey = nullptr;
};

TSha256 OneShotSha256(std::string_view ABytes);
// Seconds since 1970 in UTC, now plus AOffsetSeconds.
int64_t UnixNowPlus(int64_t AOffsetSeconds);
