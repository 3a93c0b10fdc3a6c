// Any bytes handed to the root document and root signature readers either decode or raise
// TManifestError; a decoded document writes out and reads back to the same bytes, and every key it
// certifies keeps its roles and a window that does not end before it begins.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "update/trust/root_document.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    try {
        const TRootDocument root = DecodeRootDocument(bytes);
        const std::string encoded = EncodeRootDocument(root);
        const TRootDocument back = DecodeRootDocument(encoded);
        if (EncodeRootDocument(back) != encoded) std::abort();
        if (back.Threshold == 0 || back.Threshold > back.RootKeys.size()) std::abort();
        for (const TSigningKey& key : back.SigningKeys) {
            if (key.Roles == 0 || key.NotAfterUnix < key.NotBeforeUnix) std::abort();
        }
    } catch (const TManifestError&) {
    }
    try {
        const auto signatures = DecodeRootSignatures(bytes);
        if (signatures.size() > kMostRootSignatures) std::abort();
        if (EncodeRootSignatures(signatures) != bytes) std::abort();
    } catch (const TManifestError&) {
    }
    return 0;
}
