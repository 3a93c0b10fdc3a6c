#pragma once
// Where a fetch puts what it receives (update/stream/byte_sink.h has the file and memory sinks).
// Apart from them so that the portable sinks (the inflater) build without <windows.h>.
#include <cstddef>
#include <cstdint>
#include <optional>

class IByteSink {
  public:
    virtual ~IByteSink() = default;
    // Writing (re)starts at byte AOffset: 0 for a fresh start (also after a retry that could not
    // continue, which drops what was written before), the length already held when a cut body
    // continues. ATotal is the full size when the source tells it; a sink may refuse it by raising.
    virtual void Begin(uint64_t AOffset, std::optional<uint64_t> ATotal) = 0;
    // The next piece, in order. Raising ends the fetch as a failed one.
    virtual void Write(const char* AData, size_t ASize) = 0;
};
