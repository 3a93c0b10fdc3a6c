#include "common/binary_patch.h"

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <memory>

namespace {

constexpr size_t kControlBytes = 24;
constexpr size_t kPiece = 64 * 1024;

[[noreturn]] void Fail(const std::string& AWhy) { throw TBinaryPatchError("Binary patch refused: " + AWhy); }

uint64_t ReadU64(const unsigned char* AFrom) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = value << 8 | AFrom[i];
    return value;
}

void AppendU64(std::string& AOut, uint64_t AValue) {
    for (int i = 0; i < 8; ++i) AOut.push_back(static_cast<char>(AValue >> (8 * i) & 0xff));
}

// One deflated stream read exactly as far as the triples ask. zlib's own checksum catches a damaged
// stream; Finish() refuses one that holds more than was taken or is followed by stray bytes.
class TInflatedStream {
  public:
    TInflatedStream(std::string_view ADeflated, const char* AName) : FName(AName) {
        FStream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(ADeflated.data()));
        FStream.avail_in = static_cast<uInt>(ADeflated.size());
        if (inflateInit(&FStream) != Z_OK)
            Fail(std::string("cannot start inflating the ") + FName + " stream");
    }
    ~TInflatedStream() { inflateEnd(&FStream); }
    TInflatedStream(const TInflatedStream&) = delete;
    TInflatedStream& operator=(const TInflatedStream&) = delete;

    void Read(char* AInto, size_t ASize) {
        FStream.next_out = reinterpret_cast<Bytef*>(AInto);
        FStream.avail_out = static_cast<uInt>(ASize);
        while (FStream.avail_out > 0) {
            if (FEnded) Fail(std::string("the ") + FName + " stream ends early");
            const int status = inflate(&FStream, Z_NO_FLUSH);
            if (status == Z_STREAM_END) {
                FEnded = true;
            } else if (status == Z_BUF_ERROR) {
                Fail(std::string("the ") + FName + " stream is cut short");
            } else if (status != Z_OK) {
                Fail(std::string("the ") + FName + " stream is damaged" +
                     (FStream.msg ? std::string(" (") + FStream.msg + ")" : std::string()));
            }
        }
    }

    void Finish() {
        if (!FEnded) {
            char probe = 0;
            FStream.next_out = reinterpret_cast<Bytef*>(&probe);
            FStream.avail_out = 1;
            const int status = inflate(&FStream, Z_FINISH);
            if (FStream.avail_out == 0)
                Fail(std::string("the ") + FName + " stream holds more than the controls use");
            if (status != Z_STREAM_END) Fail(std::string("the ") + FName + " stream is cut short or damaged");
            FEnded = true;
        }
        if (FStream.avail_in != 0) Fail(std::string("stray bytes follow the ") + FName + " stream");
    }

  private:
    const char* FName;
    z_stream FStream{};
    bool FEnded = false;
};

// The diff bytes as they are, read from their records (see the header).
class TDiffRecords {
  public:
    explicit TDiffRecords(TInflatedStream& AStream) : FStream(AStream) {}

    void Read(char* AInto, size_t ASize) {
        while (ASize > 0) {
            if (FZeros == 0 && FLiterals == 0) {
                FZeros = Count();
                FLiterals = Count();
                if (FZeros == 0 && FLiterals == 0) Fail("the diff stream holds an empty record");
            }
            const size_t zeros = static_cast<size_t>(std::min<uint64_t>(FZeros, ASize));
            std::fill(AInto, AInto + zeros, '\0');
            FZeros -= zeros;
            AInto += zeros;
            ASize -= zeros;
            const size_t literals = static_cast<size_t>(std::min<uint64_t>(FLiterals, ASize));
            FStream.Read(AInto, literals);
            FLiterals -= literals;
            AInto += literals;
            ASize -= literals;
        }
    }

    void Finish() {
        if (FZeros != 0 || FLiterals != 0) Fail("the diff stream holds more than the controls use");
        FStream.Finish();
    }

  private:
    uint64_t Count() {
        uint64_t value = 0;
        for (int shift = 0;; shift += 7) {
            char byte = 0;
            FStream.Read(&byte, 1);
            const auto bits = static_cast<uint64_t>(static_cast<unsigned char>(byte) & 0x7f);
            if (shift == 63 && bits > 1) Fail("a count in the diff stream passes 64 bits");
            value |= bits << shift;
            if (!(static_cast<unsigned char>(byte) & 0x80)) return value;
            if (shift == 63) Fail("a count in the diff stream passes 64 bits");
        }
    }

    TInflatedStream& FStream;
    uint64_t FZeros = 0, FLiterals = 0;
};

void AppendCount(std::string& AOut, uint64_t AValue) {
    while (AValue >= 0x80) {
        AOut.push_back(static_cast<char>((AValue & 0x7f) | 0x80));
        AValue >>= 7;
    }
    AOut.push_back(static_cast<char>(AValue));
}

std::string DiffRecords(std::string_view ADiff) {
    std::string out;
    for (size_t at = 0; at < ADiff.size();) {
        const size_t zerosEnd = std::min(ADiff.find_first_not_of('\0', at), ADiff.size());
        const size_t literalsEnd = std::min(ADiff.find_first_of('\0', zerosEnd), ADiff.size());
        AppendCount(out, zerosEnd - at);
        AppendCount(out, literalsEnd - zerosEnd);
        out.append(ADiff.substr(zerosEnd, literalsEnd - zerosEnd));
        at = literalsEnd;
    }
    return out;
}

std::string Deflated(std::string_view AData) {
    uLong bound = compressBound(static_cast<uLong>(AData.size()));
    std::string out(bound, '\0');
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &bound, reinterpret_cast<const Bytef*>(AData.data()),
                  static_cast<uLong>(AData.size()), Z_BEST_COMPRESSION) != Z_OK)
        Fail("cannot deflate a stream");
    out.resize(bound);
    return out;
}

// The old position after a seek, or a refusal when it would leave the old file.
uint64_t Seeked(uint64_t APosition, int64_t ASeek, uint64_t AOldSize) {
    if (ASeek < 0) {
        const uint64_t back = uint64_t{0} - static_cast<uint64_t>(ASeek);
        if (back > APosition) Fail("a control seeks before the start of the old file");
        return APosition - back;
    }
    if (static_cast<uint64_t>(ASeek) > AOldSize - APosition)
        Fail("a control seeks past the end of the old file");
    return APosition + static_cast<uint64_t>(ASeek);
}

}  // namespace

std::string EncodeBinaryPatch(const TPatchContent& AContent) {
    uint64_t oldPosition = 0, newPosition = 0, adds = 0, copies = 0;
    if (AContent.NewSize == 0 && !AContent.Controls.empty()) Fail("an empty new file takes no control");
    for (size_t i = 0; i < AContent.Controls.size(); ++i) {
        const TPatchControl& control = AContent.Controls[i];
        if (i > 0 && control.Add == 0 && control.Copy == 0) Fail("a control after the first writes nothing");
        if (control.Add > AContent.NewSize - newPosition || control.Add > AContent.OldSize - oldPosition)
            Fail("a control adds past the end of a file");
        newPosition += control.Add;
        oldPosition += control.Add;
        if (control.Copy > AContent.NewSize - newPosition)
            Fail("a control copies past the end of the new file");
        newPosition += control.Copy;
        oldPosition = Seeked(oldPosition, control.Seek, AContent.OldSize);
        adds += control.Add;
        copies += control.Copy;
    }
    if (newPosition != AContent.NewSize) Fail("the controls do not make the whole new file");
    if (adds != AContent.Diff.size() || copies != AContent.Extra.size())
        Fail("the diff and extra bytes are not what the controls take");

    std::string controls;
    controls.reserve(AContent.Controls.size() * kControlBytes);
    for (const auto& control : AContent.Controls) {
        AppendU64(controls, control.Add);
        AppendU64(controls, control.Copy);
        AppendU64(controls, static_cast<uint64_t>(control.Seek));
    }
    const std::string streams[] = {Deflated(controls), Deflated(DiffRecords(AContent.Diff)),
                                   Deflated(AContent.Extra)};
    std::string out(kBinaryPatchMagic);
    AppendU64(out, AContent.OldSize);
    AppendU64(out, AContent.NewSize);
    for (const auto& stream : streams) AppendU64(out, stream.size());
    for (const auto& stream : streams) out += stream;
    return out;
}

void ApplyBinaryPatch(std::string_view AOld, std::string_view APatch, uint64_t ANewSize,
                      const TPatchOutput& AOutput) {
    if (APatch.size() < kBinaryPatchHeaderSize ||
        APatch.substr(0, kBinaryPatchMagic.size()) != kBinaryPatchMagic)
        Fail("it does not start with the patch header");
    const auto* header = reinterpret_cast<const unsigned char*>(APatch.data());
    const uint64_t oldSize = ReadU64(header + 8), newSize = ReadU64(header + 16);
    if (oldSize != AOld.size())
        Fail("it starts from a file of " + std::to_string(oldSize) + " bytes, not of " +
             std::to_string(AOld.size()));
    if (newSize != ANewSize)
        Fail("it makes a file of " + std::to_string(newSize) + " bytes, not the signed " +
             std::to_string(ANewSize));
    std::string_view rest = APatch.substr(kBinaryPatchHeaderSize);
    std::string_view streams[3];
    for (int i = 0; i < 3; ++i) {
        const uint64_t length = ReadU64(header + 24 + 8 * i);
        if (length > rest.size()) Fail("its streams are longer than the patch");
        streams[i] = rest.substr(0, static_cast<size_t>(length));
        rest.remove_prefix(static_cast<size_t>(length));
    }
    if (!rest.empty()) Fail("stray bytes follow its streams");
    for (const auto& stream : streams)
        if (stream.size() > std::numeric_limits<uInt>::max()) Fail("a stream is too long");

    TInflatedStream control(streams[0], "control"), diffStream(streams[1], "diff"),
        extra(streams[2], "extra");
    TDiffRecords diff(diffStream);
    const auto buffer = std::make_unique<char[]>(kPiece);
    uint64_t oldPosition = 0, newPosition = 0;
    for (bool first = true; newPosition < newSize; first = false) {
        unsigned char triple[kControlBytes];
        control.Read(reinterpret_cast<char*>(triple), kControlBytes);
        const uint64_t add = ReadU64(triple), copy = ReadU64(triple + 8);
        const int64_t seek = static_cast<int64_t>(ReadU64(triple + 16));
        if (!first && add == 0 && copy == 0) Fail("a control writes nothing");
        if (add > newSize - newPosition) Fail("a control adds past the end of the new file");
        if (add > oldSize - oldPosition) Fail("a control reads past the end of the old file");
        for (uint64_t done = 0; done < add;) {
            const size_t piece = static_cast<size_t>(std::min<uint64_t>(kPiece, add - done));
            diff.Read(buffer.get(), piece);
            const char* old = AOld.data() + oldPosition + done;
            for (size_t i = 0; i < piece; ++i)
                buffer[i] = static_cast<char>(static_cast<unsigned char>(buffer[i]) +
                                              static_cast<unsigned char>(old[i]));
            AOutput(buffer.get(), piece);
            done += piece;
        }
        newPosition += add;
        oldPosition += add;
        if (copy > newSize - newPosition) Fail("a control copies past the end of the new file");
        for (uint64_t done = 0; done < copy;) {
            const size_t piece = static_cast<size_t>(std::min<uint64_t>(kPiece, copy - done));
            extra.Read(buffer.get(), piece);
            AOutput(buffer.get(), piece);
            done += piece;
        }
        newPosition += copy;
        oldPosition = Seeked(oldPosition, seek, oldSize);
    }
    control.Finish();
    diff.Finish();
    extra.Finish();
}

std::string ApplyBinaryPatch(std::string_view AOld, std::string_view APatch, uint64_t ANewSize) {
    std::string out;
    ApplyBinaryPatch(AOld, APatch, ANewSize, [&](const char* AData, size_t ASize) {
        if (ASize > ANewSize - out.size()) Fail("it writes past the new size");
        out.append(AData, ASize);
    });
    return out;
}
