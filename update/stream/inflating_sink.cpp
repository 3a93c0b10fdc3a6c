#include "update/stream/inflating_sink.h"

#include <zlib.h>

#include <algorithm>
#include <vector>

namespace {

// Enough to keep the inflater busy per call; small enough to live beside every fetch of the pool.
constexpr size_t kOutputPiece = 64 * 1024;
// zlib counts in 32 bits.
constexpr size_t kMostInputPiece = 1u << 30;

}  // namespace

struct TInflatingSink::TStream {
    z_stream Z{};
    bool Ready = false;
    std::vector<unsigned char> Out = std::vector<unsigned char>(kOutputPiece);
    ~TStream() {
        if (Ready) inflateEnd(&Z);
    }
};

TInflatingSink::TInflatingSink(IByteSink& AInner, IFetchObserver* AObserver, uint64_t AInflatedSize,
                               uint64_t ADeflatedSize, std::string AName)
    : FInner(AInner),
      FObserver(AObserver),
      FInflatedSize(AInflatedSize),
      FDeflatedSize(ADeflatedSize),
      FName(std::move(AName)),
      FStream(std::make_unique<TStream>()) {}

TInflatingSink::~TInflatingSink() = default;

void TInflatingSink::Unreadable(const std::string& AWhy) const {
    throw TInflateError(FName + ": the deflated object " + AWhy);
}

void TInflatingSink::Restart() {
    int result = Z_OK;
    if (FStream->Ready) {
        result = inflateReset(&FStream->Z);
    } else {
        result = inflateInit(&FStream->Z);
        FStream->Ready = result == Z_OK;
    }
    if (result != Z_OK) throw Error(FName + ": the inflater cannot start", TErrorCategory::Other);
    FDeflated = FInflated = 0;
    FEnded = false;
}

void TInflatingSink::Begin(uint64_t AOffset, std::optional<uint64_t> ATotal) {
    if (ATotal && *ATotal != FDeflatedSize) Unreadable("is not of the signed size");
    if (AOffset == 0) {
        Restart();
    } else if (AOffset != FDeflated || !FStream->Ready) {
        throw Error(FName + ": a continued fetch whose start was not inflated", TErrorCategory::Fetch);
    }
    if (FObserver) FObserver->Begin(FInflated, FInflatedSize);
    FInner.Begin(FInflated, FInflatedSize);
}

void TInflatingSink::Write(const char* AData, size_t ASize) {
    if (ASize == 0) return;
    if (!FStream->Ready) throw Error(FName + ": a body before its start", TErrorCategory::Other);
    if (FEnded) Unreadable("holds data after its end");
    if (ASize > FDeflatedSize - FDeflated) Unreadable("is longer than signed");
    FDeflated += ASize;
    z_stream& z = FStream->Z;
    while (ASize > 0) {
        const size_t piece = std::min(ASize, kMostInputPiece);
        // zlib does not write through next_in; its interface predates const.
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(AData));
        z.avail_in = static_cast<uInt>(piece);
        AData += piece;
        ASize -= piece;
        do {
            // Never more than one byte past the signed size: that byte is the proof of a bomb.
            const uint64_t left = FInflatedSize - FInflated;
            const size_t room =
                left >= FStream->Out.size() ? FStream->Out.size() : static_cast<size_t>(left) + 1;
            z.next_out = FStream->Out.data();
            z.avail_out = static_cast<uInt>(room);
            const int result = inflate(&z, Z_NO_FLUSH);
            if (result == Z_STREAM_END) {
                FEnded = true;
            } else if (result == Z_MEM_ERROR) {
                throw Error(FName + ": no memory to inflate", TErrorCategory::Other);
            } else if (result != Z_OK && result != Z_BUF_ERROR) {
                Unreadable("is not a deflated stream (" +
                           std::string(z.msg ? z.msg : "zlib " + std::to_string(result)) + ")");
            }
            const size_t out = room - z.avail_out;
            FInflated += out;
            const char* bytes = reinterpret_cast<const char*>(FStream->Out.data());
            // The observer (the content check) sees the excess byte and names the file as altered.
            if (FObserver && out > 0) FObserver->Received(bytes, out);
            if (FInflated > FInflatedSize)
                throw Error(FName + ": inflates past the signed size", TErrorCategory::Altered);
            if (out > 0) FInner.Write(bytes, out);
            if (FEnded) {
                if (z.avail_in > 0 || ASize > 0) Unreadable("holds data after its end");
                return;
            }
            if (result == Z_BUF_ERROR && out == 0) {
                if (z.avail_in == 0) break;
                Unreadable("does not inflate");
            }
        } while (z.avail_in > 0 || z.avail_out == 0);
    }
}

void TInflatingSink::Finish() {
    if (!FEnded) Unreadable("is cut short");
    if (FInflated != FInflatedSize)
        throw Error(FName + ": shorter than the signed size", TErrorCategory::Altered);
}
