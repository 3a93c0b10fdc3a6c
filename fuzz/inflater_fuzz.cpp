// Any bytes served as a deflated object: the inflater either delivers exactly the signed size or
// raises, never writes a byte past the signed size into the file, never inflates more than one byte
// past it, and never takes more of the body than the signed deflated size. The first two bytes
// choose the signed size (up to 64 KiB) and the third the piece size the transport hands over.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <optional>

#include "update/stream/inflating_sink.h"

namespace {

struct Bounded final : IByteSink {
    uint64_t held = 0;
    void Begin(uint64_t AOffset, std::optional<uint64_t>) override { held = AOffset; }
    void Write(const char*, size_t ASize) override { held += ASize; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const uint64_t signedSize = uint64_t{data[0]} << 8 | data[1];
    const size_t piece = size_t{data[2]} + 1;
    const char* body = reinterpret_cast<const char*>(data + 3);
    const size_t length = size - 3;
    Bounded file;
    TInflatingSink sink(file, nullptr, signedSize, length, "fuzz");
    bool finished = false;
    try {
        sink.Begin(0, length);
        for (size_t at = 0; at < length; at += piece) sink.Write(body + at, std::min(piece, length - at));
        sink.Finish();
        finished = true;
    } catch (const Error&) {
    }
    if (file.held > signedSize || sink.Inflated() > signedSize + 1) std::abort();
    if (finished && file.held != signedSize) std::abort();
    return 0;
}
