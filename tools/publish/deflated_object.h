#pragma once
// The deflated copy of a stored object: aurevia-objects/<2 hex>/<64 hex>.deflate, a zlib stream of
// the same content, named like the plain object by the SHA-256 of the inflated bytes. It is stored
// only where it pays (DeflatingPays), and the plain object always stays beside it: launchers that
// read no "stored" member fetch that one.
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "tools/publish/durable_file.h"
#include "update/trust/release_manifest.h"

namespace publish {

// At least 5 % and at least 512 bytes smaller than the plain object: below that the second object
// costs the server's disk and the workstation a second request's worth for nothing that shows on a
// clinic's link. Executables deflate to about 40-60 %, reports and settings much further.
bool DeflatingPays(uint64_t size, uint64_t deflated);

// The object's name + ".deflate".
std::filesystem::path DeflatedObjectFile(const std::filesystem::path& object);

// What a release's object gets beside it.
struct DeflatedCopy {
    std::optional<StagedFile> Copy;  // a fresh copy to put in place; none: the stored one holds the content
    std::filesystem::path Object;    // where it goes (or is)
    uint64_t Size = 0;               // the deflated size the release records
    bool Replaces = false;           // a stored copy that did not inflate to the content
};

// For the content of `source` (`size` bytes, SHA-256 `sha256`) stored as `object`: the stored deflated
// copy when it inflates to exactly that content and still pays, else a new one deflated at level 9
// and staged beside the object (mode `mode`); nullopt when deflating does not pay. Deflating stops
// as soon as the output is too large to pay, so a large file that does not deflate costs no more
// memory than its paying bound. With `onlyIfStored`, no new copy is made where none is stored.
// Raises PublishError(Failed) when `source` does not hold the content.
std::optional<DeflatedCopy> PrepareDeflated(const std::filesystem::path& object,
                                            const std::filesystem::path& source, uint64_t size,
                                            const TSha256& sha256, mode_t mode, bool onlyIfStored);

// Whether a deflated object inflates to exactly `size` bytes of SHA-256 `sha256`.
bool DeflatedObjectHolds(const std::filesystem::path& deflated, uint64_t size, const TSha256& sha256);

}  // namespace publish
