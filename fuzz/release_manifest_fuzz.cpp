// Any bytes handed to the manifest reader either decode or raise TManifestError; a decoded
// manifest writes out and reads back to the same serial, expiry and files, and its key reader
// either decodes a point that writes back to an equivalent text or raises TManifestError.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "update/trust/release_manifest.h"

namespace {

bool SameManifest(const TReleaseManifest& a, const TReleaseManifest& b) {
    if (a.Serial != b.Serial || a.ExpiresUnix != b.ExpiresUnix || a.Files.size() != b.Files.size())
        return false;
    for (size_t i = 0; i < a.Files.size(); ++i) {
        const auto &x = a.Files[i], &y = b.Files[i];
        if (x.Name != y.Name || x.Size != y.Size || x.Sha256 != y.Sha256) return false;
        if (FindManifestFile(b, x.Name) != &y) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    try {
        const TReleaseManifest manifest = DecodeReleaseManifest(bytes);
        const std::string encoded = EncodeReleaseManifest(manifest);
        if (!SameManifest(manifest, DecodeReleaseManifest(encoded))) std::abort();
        if (EncodeReleaseManifest(DecodeReleaseManifest(encoded)) != encoded) std::abort();
    } catch (const TManifestError&) {
    }
    try {
        const auto point = DecodePublisherKey(bytes);
        if (DecodePublisherKey(EncodePublisherKey(point)) != point) std::abort();
    } catch (const TManifestError&) {
    }
    return 0;
}
