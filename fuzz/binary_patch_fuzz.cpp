// Any bytes handed to the patch applier as a patch either make a file of exactly the size asked for
// or raise TBinaryPatchError, without touching memory outside the old file. The new size is the one
// the patch names (capped), so that the fuzzer gets past the size check and into the controls.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/binary_patch.h"

namespace {

constexpr uint64_t kMostNewSize = 1 << 20;

// An old file with a little of everything: runs, a counter, text.
const std::string& OldFile() {
    static const std::string old = [] {
        std::string bytes(64, '\0');
        for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
        bytes += "The quick brown fox jumps over the lazy dog";
        return bytes;
    }();
    return old;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view patch(reinterpret_cast<const char*>(data), size);
    uint64_t newSize = 0;
    if (size >= kBinaryPatchHeaderSize)
        for (int i = 7; i >= 0; --i) newSize = newSize << 8 | data[16 + i];
    if (newSize > kMostNewSize) newSize = kMostNewSize;
    try {
        const std::string made = ApplyBinaryPatch(OldFile(), patch, newSize);
        if (made.size() != newSize) std::abort();
    } catch (const TBinaryPatchError&) {
    }
    return 0;
}
