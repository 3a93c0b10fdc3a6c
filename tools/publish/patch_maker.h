#pragma once
// The publisher's side of binary patches (common/binary_patch.h): a diff of two versions of a file
// by suffix sorting. The old file's suffixes are sorted once (libdivsufsort); the new file is then
// scanned for the longest matches in the old one, and each match is stretched forwards and backwards
// for as long as more bytes agree than differ, so that code that only moved (an address changed in
// every call) becomes runs of small differences, which deflate to almost nothing.
#include <cstdint>
#include <string>
#include <string_view>

namespace publish {

// The patch that makes `newFile` from `oldFile`. Raises PublishError(Failed) for a file past
// kMostPatchedFileSize (common/binary_patch.h).
std::string MakeBinaryPatch(std::string_view oldFile, std::string_view newFile);

}  // namespace publish
