// Any bytes handed to the release and rollout readers either decode or raise TManifestError; a
// decoded document writes out and reads back to the same content, and writes out the same bytes
// again. A decoded rollout assigns every ring and number a release it names.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "update/trust/release_documents.h"

namespace {

bool SameRelease(const TRelease& a, const TRelease& b) {
    if (a.Serial != b.Serial || a.CreatedUnix != b.CreatedUnix || a.Note != b.Note ||
        a.Files.size() != b.Files.size())
        return false;
    for (size_t i = 0; i < a.Files.size(); ++i) {
        const auto &x = a.Files[i], &y = b.Files[i];
        if (x.Name != y.Name || x.Size != y.Size || x.Sha256 != y.Sha256 || x.AgeUnix != y.AgeUnix ||
            x.Patches.size() != y.Patches.size())
            return false;
        for (size_t j = 0; j < x.Patches.size(); ++j) {
            const auto &p = x.Patches[j], &q = y.Patches[j];
            if (p.From != q.From || p.Sha256 != q.Sha256 || p.Size != q.Size) return false;
        }
    }
    return true;
}

bool SameRollout(const TRollout& a, const TRollout& b) {
    if (a.Serial != b.Serial || a.ExpiresUnix != b.ExpiresUnix || a.Rings.size() != b.Rings.size())
        return false;
    for (size_t i = 0; i < a.Rings.size(); ++i) {
        const auto &x = a.Rings[i], &y = b.Rings[i];
        if (x.Ring != y.Ring || x.Release != y.Release || x.Previous != y.Previous ||
            x.Percent != y.Percent || x.ReleaseSha256 != y.ReleaseSha256 ||
            x.PreviousSha256 != y.PreviousSha256)
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    try {
        const TRelease release = DecodeRelease(bytes);
        const std::string encoded = EncodeRelease(release);
        if (!SameRelease(release, DecodeRelease(encoded))) std::abort();
        if (EncodeRelease(DecodeRelease(encoded)) != encoded) std::abort();
    } catch (const TManifestError&) {
    }
    try {
        const TRollout rollout = DecodeRollout(bytes);
        const std::string encoded = EncodeRollout(rollout);
        if (!SameRollout(rollout, DecodeRollout(encoded))) std::abort();
        for (const auto& ring : rollout.Rings) {
            for (const unsigned number : {0u, 50u, 99u}) {
                const auto assigned = AssignedRelease(rollout, ring.Ring, number);
                if (!assigned || (*assigned != ring.Release && assigned != ring.Previous)) std::abort();
            }
        }
    } catch (const TManifestError&) {
    }
    return 0;
}
