#include "update/source/source_manifest.h"

#include "base/string_convert.h"

TManifestBytes ReadSourceManifest(IUpdateSource& ASource) {
    TManifestBytes bytes;
    const auto read = [&](std::string_view AName, uint64_t ALimit) -> std::optional<std::string> {
        try {
            return ASource.Read(Utf8ToWide(AName), ALimit);
        } catch (const std::exception& e) {
            if (bytes.Missing.empty()) bytes.Missing = std::string(AName) + ": " + e.what();
            return std::nullopt;
        }
    };
    bytes.Manifest = read(kManifestFileName, kManifestLimit);
    // Without the manifest the signature is of no use: one request less for a service that lacks both.
    if (bytes.Manifest) bytes.Signature = read(kManifestSignatureFileName, kSignatureLimit);
    return bytes;
}

TAcceptance AcceptSourceManifest(const TUpdateVerification& AVerification, IUpdateSource& ASource) {
    return AcceptManifest(AVerification, ReadSourceManifest(ASource));
}
