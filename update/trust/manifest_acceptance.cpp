#include "update/trust/manifest_acceptance.h"

#include <windows.h>

#include "base/handles.h"
#include "base/paths.h"
#include "base/string_convert.h"
#include "base/win32_error.h"
#include "update/progress/fetch_observer.h"
#include "update/files/file_operations.h"
#include "update/trust/publisher_key.h"
#include "update/client/rest_client.h"

namespace {

// Far above any real manifest (about 150 bytes a file), far below what could hurt the workstation.
constexpr uint64_t kManifestLimit = 4u << 20;
constexpr uint64_t kSignatureLimit = 4096;

int64_t UtcNowUnix() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const uint64_t ticks = (uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
    return static_cast<int64_t>(ticks / 10000000u) - 11644473600;
}

std::string ReadBounded(const std::wstring& APath, uint64_t ALimit) {
    const unique_file file(CreateFileW(APath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) ThrowLastError();
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size)) ThrowLastError();
    if (static_cast<uint64_t>(size.QuadPart) > ALimit) throw Error("larger than any manifest");
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!bytes.empty() &&
        !ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr))
        ThrowLastError();
    bytes.resize(read);
    return bytes;
}

// Keeps a download's body in memory, up to a limit past which the download ends.
class TBoundedCollector final : public IFetchObserver {
  public:
    explicit TBoundedCollector(uint64_t ALimit) : FLimit(ALimit) {}
    void Begin(uint64_t AOffset, std::optional<uint64_t> ATotal) override {
        if (AOffset > FBytes.size()) throw Error("a resumed download whose start was not seen");
        FBytes.resize(static_cast<size_t>(AOffset));
        if (ATotal && *ATotal > FLimit) throw Error("larger than any manifest");
    }
    void Received(const char* AData, size_t ASize) override {
        if (FBytes.size() + ASize > FLimit) throw Error("larger than any manifest");
        FBytes.append(AData, ASize);
    }
    std::string Take() { return std::move(FBytes); }

  private:
    uint64_t FLimit;
    std::string FBytes;
};

std::optional<std::string> Download(TRESTClientDownload& AClient, std::string_view AName,
                                    const std::wstring& ALocalFolder, uint64_t ALimit,
                                    std::string& AMissing) {
    const std::wstring name = Utf8ToWide(AName);
    const std::wstring temporary = TemporaryNameBeside(PathJoin(ALocalFolder, name));
    TBoundedCollector collector(ALimit);
    bool done = false;
    try {
        done = AClient.Download(name, temporary, &collector);
    } catch (const std::exception& e) {
        if (AMissing.empty()) AMissing = std::string(AName) + ": " + e.what();
    }
    DiscardTemporary(temporary);
    if (done) return collector.Take();
    if (AMissing.empty()) AMissing = std::string(AName) + ": " + WideToUtf8(AClient.Error());
    return std::nullopt;
}

}  // namespace

TAcceptance AcceptManifest(const TUpdateVerification& AVerification, const TManifestBytes& ABytes) {
    TAcceptance result;
    if (!ABytes.Manifest || !ABytes.Signature) {
        result.Refusal = TRefusal::MissingManifest;
        result.Detail = ABytes.Missing;
        return result;
    }
    std::optional<TPublisherKey> key;
    try {
        key.emplace(WideToUtf8(AVerification.PublisherKey));
    } catch (const std::exception& e) {
        result.Refusal = TRefusal::InvalidKey;
        result.Detail = e.what();
        return result;
    }
    if (!key->Verifies(*ABytes.Manifest, *ABytes.Signature)) {
        result.Refusal = TRefusal::BadSignature;
        return result;
    }
    TReleaseManifest manifest;
    try {
        manifest = DecodeReleaseManifest(*ABytes.Manifest);
    } catch (const std::exception& e) {
        result.Refusal = TRefusal::MalformedManifest;
        result.Detail = e.what();
        return result;
    }
    const TAcceptedSerial serial(AVerification.SerialKey);
    const std::optional<uint64_t> highest = serial.Highest();
    result.Refusal = JudgeManifest(manifest, UtcNowUnix(), highest);
    if (result.Refusal == TRefusal::Expired) {
        result.Detail = "expirou em " + UtcText(manifest.ExpiresUnix);
    } else if (result.Refusal == TRefusal::OlderRelease) {
        result.Detail =
            "série " + std::to_string(manifest.Serial) + ", já aceita a série " + std::to_string(*highest);
    }
    if (!result.Accepted()) return result;
    serial.Raise(manifest.Serial);
    result.Manifest = std::move(manifest);
    return result;
}

TManifestBytes ReadManifestFromFolder(const std::wstring& AFolder) {
    TManifestBytes bytes;
    const auto read = [&](std::string_view AName, uint64_t ALimit) -> std::optional<std::string> {
        try {
            return ReadBounded(PathJoin(AFolder, Utf8ToWide(AName)), ALimit);
        } catch (const std::exception& e) {
            if (bytes.Missing.empty()) bytes.Missing = std::string(AName) + ": " + e.what();
            return std::nullopt;
        }
    };
    bytes.Manifest = read(kManifestFileName, kManifestLimit);
    bytes.Signature = read(kManifestSignatureFileName, kSignatureLimit);
    return bytes;
}

TManifestBytes DownloadManifest(const std::wstring& AURL, const std::wstring& ALocalFolder) {
    TManifestBytes bytes;
    TRESTClientDownload client(AURL);
    bytes.Manifest = Download(client, kManifestFileName, ALocalFolder, kManifestLimit, bytes.Missing);
    // Without the manifest the signature is of no use: one request less for a service that lacks both.
    if (bytes.Manifest)
        bytes.Signature =
            Download(client, kManifestSignatureFileName, ALocalFolder, kSignatureLimit, bytes.Missing);
    return bytes;
}

TAcceptance AcceptFolderManifest(const TUpdateVerification& AVerification, const std::wstring& AFolder) {
    return AcceptManifest(AVerification, ReadManifestFromFolder(AFolder));
}
