// The patch applier takes bytes from the wire: every way a patch can lie about its sizes, its controls
// or its streams must end in a refusal, never in a read outside the old file or a write past the new.
#include "common/binary_patch.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <functional>
#include <string>
#include <vector>

namespace {

const std::string kOld = "The quick brown fox jumps over the lazy dog";

std::string Deflate(const std::string& AData) {
    uLong size = compressBound(static_cast<uLong>(AData.size()));
    std::string out(size, '\0');
    compress2(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(AData.data()),
              static_cast<uLong>(AData.size()), 9);
    out.resize(size);
    return out;
}

void AppendU64(std::string& AOut, uint64_t AValue) {
    for (int i = 0; i < 8; ++i) AOut.push_back(static_cast<char>(AValue >> (8 * i) & 0xff));
}

// The diff bytes as one record of literals (the encoder would write zero runs apart).
std::string Records(const std::string& ADiff) {
    if (ADiff.empty()) return "";
    std::string out(1, '\0');
    for (uint64_t count = ADiff.size();; count >>= 7) {
        out.push_back(static_cast<char>((count & 0x7f) | (count >= 0x80 ? 0x80 : 0)));
        if (count < 0x80) break;
    }
    return out + ADiff;
}

std::string Triples(const std::vector<TPatchControl>& AControls) {
    std::string out;
    for (const auto& c : AControls) {
        AppendU64(out, c.Add);
        AppendU64(out, c.Copy);
        AppendU64(out, static_cast<uint64_t>(c.Seek));
    }
    return out;
}

// A patch put together by hand, so that each part can lie on its own.
struct TRawPatch {
    std::string Magic = std::string(kBinaryPatchMagic);
    uint64_t OldSize = kOld.size();
    uint64_t NewSize = 0;
    std::string Control, Diff, Extra;  // deflated
    int64_t ControlLengthChange = 0;   // added to the length written for the control stream
    std::string Trailer;               // bytes after the streams

    std::string Bytes() const {
        std::string out = Magic;
        AppendU64(out, OldSize);
        AppendU64(out, NewSize);
        AppendU64(out, Control.size() + ControlLengthChange);
        AppendU64(out, Diff.size());
        AppendU64(out, Extra.size());
        return out + Control + Diff + Extra + Trailer;
    }
};

// "brown" replaced by "red" (extra bytes, then a seek over "brown"), and "lazy" by "Zazy" (a diff byte).
const std::string kRedFox = "The quick red fox jumps over the Zazy dog";

TRawPatch RawOf(const TPatchContent& AContent) {
    TRawPatch raw;
    raw.OldSize = AContent.OldSize;
    raw.NewSize = AContent.NewSize;
    raw.Control = Deflate(Triples(AContent.Controls));
    raw.Diff = Deflate(Records(AContent.Diff));
    raw.Extra = Deflate(AContent.Extra);
    return raw;
}

TEST(BinaryPatch, MakesTheNewFileFromTheOldOne) {
    TPatchContent content;
    content.OldSize = kOld.size();
    content.NewSize = kRedFox.size();
    content.Controls = {{10, 3, 5}, {kRedFox.size() - 13, 0, 0}};
    content.Diff = std::string(10, '\0');
    for (size_t i = 13; i < kRedFox.size(); ++i) content.Diff += static_cast<char>(kRedFox[i] - kOld[i + 2]);
    content.Extra = "red";
    EXPECT_EQ(ApplyBinaryPatch(kOld, EncodeBinaryPatch(content), kRedFox.size()), kRedFox);

    // The encoder's own output, with a seek backwards: the same old bytes used twice.
    TPatchContent twice;
    twice.OldSize = kOld.size();
    twice.NewSize = 8;
    twice.Controls = {{4, 0, -4}, {4, 0, 0}};
    twice.Diff = std::string(8, '\0');
    EXPECT_EQ(ApplyBinaryPatch(kOld, EncodeBinaryPatch(twice), 8), "The The ");

    TPatchContent empty;
    empty.OldSize = kOld.size();
    EXPECT_EQ(ApplyBinaryPatch(kOld, EncodeBinaryPatch(empty), 0), "");
}

TPatchContent Valid() {
    TPatchContent content;
    content.OldSize = kOld.size();
    content.NewSize = 12;
    content.Controls = {{4, 4, 2}, {4, 0, 0}};
    content.Diff = std::string(8, '\0');
    content.Extra = "XXXX";
    return content;
}

TEST(BinaryPatch, RefusesWhatDoesNotAddUp) {
    const auto withControls = [](std::vector<TPatchControl> AControls, uint64_t ANewSize, size_t ADiff,
                                 size_t AExtra) {
        TPatchContent content = Valid();
        content.Controls = std::move(AControls);
        content.NewSize = ANewSize;
        content.Diff = std::string(ADiff, '\0');
        content.Extra = std::string(AExtra, 'x');
        return RawOf(content);
    };
    const std::string deflatedTail = RawOf(Valid()).Diff;
    struct TCase {
        const char* Name;
        std::function<TRawPatch()> Make;
        uint64_t SignedSize;
    };
    const std::vector<TCase> cases = {
        {"another magic",
         [] {
             auto r = RawOf(Valid());
             r.Magic = "AURPAT2\n";
             return r;
         },
         12},
        {"another old size",
         [] {
             auto r = RawOf(Valid());
             r.OldSize += 1;
             return r;
         },
         12},
        {"another new size than the signed one", [] { return RawOf(Valid()); }, 13},
        {"streams longer than the patch",
         [] {
             auto r = RawOf(Valid());
             r.ControlLengthChange = 1000;
             return r;
         },
         12},
        {"streams shorter than the patch",
         [] {
             auto r = RawOf(Valid());
             r.ControlLengthChange = -1;
             return r;
         },
         12},
        {"stray bytes after the streams",
         [] {
             auto r = RawOf(Valid());
             r.Trailer = "x";
             return r;
         },
         12},
        {"an add past the old file",
         [&] {
             return withControls({{44, 0, 0}}, 44, 44, 0);
         },
         44},
        {"an add past the new file",
         [&] {
             return withControls({{13, 0, 0}}, 12, 13, 0);
         },
         12},
        {"a copy past the new file",
         [&] {
             return withControls({{0, 13, 0}}, 12, 0, 13);
         },
         12},
        {"a seek before the old file",
         [&] {
             return withControls({{4, 4, -5}, {4, 0, 0}}, 12, 8, 4);
         },
         12},
        {"a seek past the old file",
         [&] {
             return withControls({{4, 4, 40}, {4, 0, 0}}, 12, 8, 4);
         },
         12},
        {"the most negative seek",
         [&] {
             return withControls({{4, 4, INT64_MIN}, {4, 0, 0}}, 12, 8, 4);
         },
         12},
        {"a control writing nothing after the first",
         [&] {
             return withControls({{4, 4, 0}, {0, 0, 0}, {4, 0, 0}}, 12, 8, 4);
         },
         12},
        {"a control stream ending before the new file",
         [&] {
             return withControls({{4, 4, 0}}, 12, 4, 4);
         },
         12},
        {"a control stream running on",
         [&] {
             return withControls({{4, 4, 0}, {4, 0, 0}, {1, 0, 0}}, 12, 9, 4);
         },
         12},
        {"a diff stream shorter than the adds",
         [&] {
             return withControls({{4, 4, 0}, {4, 0, 0}}, 12, 7, 4);
         },
         12},
        {"a diff stream longer than the adds",
         [&] {
             return withControls({{4, 4, 0}, {4, 0, 0}}, 12, 9, 4);
         },
         12},
        {"an extra stream longer than the copies",
         [&] {
             return withControls({{4, 4, 0}, {4, 0, 0}}, 12, 8, 5);
         },
         12},
        {"a diff stream cut short",
         [] {
             auto r = RawOf(Valid());
             r.Diff.resize(r.Diff.size() - 3);
             return r;
         },
         12},
        {"a damaged extra stream",
         [] {
             auto r = RawOf(Valid());
             r.Extra[r.Extra.size() - 2] ^= 0x40;
             return r;
         },
         12},
        {"an empty diff record",
         [] {
             auto r = RawOf(Valid());
             r.Diff = Deflate(std::string("\0\0", 2) + Records(std::string(8, '\0')));
             return r;
         },
         12},
        {"a diff count past 64 bits",
         [] {
             auto r = RawOf(Valid());
             r.Diff = Deflate(std::string(10, '\xff') + "\x01");
             return r;
         },
         12},
        {"a zero run past the adds",
         [] {
             auto r = RawOf(Valid());
             r.Diff = Deflate(std::string("\xff\xff\xff\xff\x0f\0", 6));
             return r;
         },
         12},
        {"a stream that is not deflated",
         [] {
             auto r = RawOf(Valid());
             r.Control = "not deflated";
             return r;
         },
         12},
    };
    for (const auto& c : cases) {
        const std::string patch = c.Make().Bytes();
        std::string written;
        EXPECT_THROW(ApplyBinaryPatch(kOld, patch, c.SignedSize,
                                      [&](const char* AData, size_t ASize) {
                                          written.append(AData, ASize);
                                          ASSERT_LE(written.size(), c.SignedSize) << c.Name;
                                      }),
                     TBinaryPatchError)
            << c.Name;
    }
    EXPECT_THROW(ApplyBinaryPatch(kOld, std::string(kBinaryPatchMagic), 12), TBinaryPatchError)
        << "header cut";
    EXPECT_THROW(ApplyBinaryPatch(kOld, "", 12), TBinaryPatchError) << "empty";
    EXPECT_NO_THROW(ApplyBinaryPatch(kOld, RawOf(Valid()).Bytes(), 12)) << "the unaltered case is good";
}

// A stream whose inflation would run far past the new file is refused while reading a few bytes of it.
TEST(BinaryPatch, StopsAnInflationBombAtTheNewSize) {
    TPatchContent content = Valid();
    TRawPatch raw = RawOf(content);
    raw.Extra = Deflate(std::string(64 * 1024 * 1024, 'x'));
    size_t written = 0;
    EXPECT_THROW(
        ApplyBinaryPatch(kOld, raw.Bytes(), 12, [&](const char*, size_t ASize) { written += ASize; }),
        TBinaryPatchError);
    EXPECT_LE(written, 12u);
}

TEST(BinaryPatch, EncoderRefusesContentTheApplierWouldRefuse) {
    TPatchContent wrongDiff = Valid();
    wrongDiff.Diff.pop_back();
    TPatchContent short_ = Valid();
    short_.NewSize = 13;
    TPatchContent outside = Valid();
    outside.Controls[0].Seek = 100;
    for (const auto* content : {&wrongDiff, &short_, &outside})
        EXPECT_THROW(EncodeBinaryPatch(*content), TBinaryPatchError);
}

TEST(BinaryPatch, AnOutputThatRaisesStopsThePatch) {
    struct TStop {};
    int calls = 0;
    EXPECT_THROW(ApplyBinaryPatch(kOld, EncodeBinaryPatch(Valid()), 12,
                                  [&](const char*, size_t) {
                                      ++calls;
                                      throw TStop{};
                                  }),
                 TStop);
    EXPECT_EQ(calls, 1);
}

}  // namespace
