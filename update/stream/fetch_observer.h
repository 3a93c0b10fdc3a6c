#pragma once
// Watches the content of one file fetch as it is written to its temporary file, on the fetching
// thread. The updater chains what it needs here (a hash check against a signed manifest, the byte
// counts of the progress line); the transports (the share copy, the HTTP download) only report.
#include <cstddef>
#include <cstdint>
#include <optional>

class IFetchObserver {
  public:
    virtual ~IFetchObserver() = default;
    // Writing (re)starts at byte `offset` of the file: 0 for a fresh start, also after a retry that
    // could not resume; the length already on disk when a cut download resumes. `total` is the full
    // size when the source tells it.
    virtual void Begin(uint64_t offset, std::optional<uint64_t> total) = 0;
    // The next piece of content, in file order, before it is written. Throwing ends the fetch as a
    // failed one: the temporary file is discarded and the message kept as its reason.
    virtual void Received(const char* data, size_t size) = 0;
};
