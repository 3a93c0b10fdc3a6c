#pragma once
// A binary patch: the bytes that turn one version of a file (the old one) into another (the new one).
// Written by the publisher (tools/publish/patch_maker.h), applied by the workstation. Portable.
//
// Layout, integers little-endian:
//   "AURPAT1\n"                        8 bytes
//   old size, new size                 u64 each
//   control, diff, extra lengths       u64 each: the deflated (zlib) size of each stream, in this order
//   control stream, diff stream, extra stream
// Inflated, the control stream is a run of triples (add u64, copy u64, seek i64). Starting at old and
// new position 0, a triple writes `add` bytes that are the old bytes at the old position plus the
// next `add` diff bytes (per byte, modulo 256), moving both positions on; then `copy` bytes taken from
// the extra stream as they are (the new position moves on); then moves the old position by `seek`.
// The diff bytes are mostly zero (code that did not change) with a few scattered bytes (addresses
// that moved), so the diff stream holds them as records: zero count, then literal count, then the
// literal bytes (counts as LEB128), a record never empty. Deflate alone pays for every zero run and
// every isolated byte by its match lengths; the records leave it only the positions and the values.
//
// A patch is input from the wire. The applier trusts nothing in it: the sizes must be the old file's
// and the one the signed document gives, every triple must stay inside both files, every triple but
// the first must write something, and each stream must hold exactly what the triples take (a stream
// that ends early, runs on or is corrupt is refused). Work and memory are bounded by the new size.
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::string_view kBinaryPatchMagic = "AURPAT1\n";
inline constexpr size_t kBinaryPatchHeaderSize = 48;
// Patches are made and applied for files up to this size only (both versions are held in memory);
// a larger file travels whole.
inline constexpr uint64_t kMostPatchedFileSize = 256u << 20;

class TBinaryPatchError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct TPatchControl {
    uint64_t Add = 0;
    uint64_t Copy = 0;
    int64_t Seek = 0;
};

// What a patch holds, inflated.
struct TPatchContent {
    uint64_t OldSize = 0;
    uint64_t NewSize = 0;
    std::vector<TPatchControl> Controls;
    std::string Diff;   // the sum of the triples' add bytes, as they are (the encoder writes the records)
    std::string Extra;  // the sum of their copy bytes
};

// The patch's bytes, each stream deflated at the highest level. Raises TBinaryPatchError when the
// content is not one the applier would take (so that nothing unusable is ever published).
std::string EncodeBinaryPatch(const TPatchContent& AContent);

// Receives the new file's bytes in order, in pieces; may raise to stop the patch.
using TPatchOutput = std::function<void(const char* AData, size_t ASize)>;

// Writes the new file of ANewSize bytes made from AOld and APatch into AOutput. Raises
// TBinaryPatchError for anything that is not such a patch; what AOutput received by then is to be
// thrown away.
void ApplyBinaryPatch(std::string_view AOld, std::string_view APatch, uint64_t ANewSize,
                      const TPatchOutput& AOutput);

// The same, into memory.
std::string ApplyBinaryPatch(std::string_view AOld, std::string_view APatch, uint64_t ANewSize);
