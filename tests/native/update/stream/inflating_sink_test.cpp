// The inflater tried with what a hostile or broken server can send in place of a deflated object:
// the streams are made here with zlib's own deflater, then cut, garbled or inflated past their
// signed size.
#include <gtest/gtest.h>
#include <zlib.h>

#include <functional>
#include <string>

#include "update/stream/inflating_sink.h"

namespace {

std::string Deflated(const std::string& AContent, int ALevel = 9) {
    uLongf size = compressBound(static_cast<uLong>(AContent.size()));
    std::string out(size, '\0');
    EXPECT_EQ(compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                        reinterpret_cast<const Bytef*>(AContent.data()), static_cast<uLong>(AContent.size()),
                        ALevel),
              Z_OK);
    out.resize(size);
    return out;
}

// What reached the file, and what the observer (the content check) saw.
struct Capture final : IByteSink, IFetchObserver {
    std::string bytes;
    std::string observed;
    std::vector<uint64_t> starts;
    void Begin(uint64_t AOffset, std::optional<uint64_t>) override {
        starts.push_back(AOffset);
        bytes.resize(AOffset);
    }
    void Write(const char* AData, size_t ASize) override { bytes.append(AData, ASize); }
    void Received(const char* AData, size_t ASize) override { observed.append(AData, ASize); }
};

struct Observer final : IFetchObserver {
    std::string seen;
    void Begin(uint64_t AOffset, std::optional<uint64_t>) override { seen.resize(AOffset); }
    void Received(const char* AData, size_t ASize) override { seen.append(AData, ASize); }
};

// Feeds ABody in pieces of APiece bytes, as a transport would, then finishes.
void Deliver(TInflatingSink& ASink, const std::string& ABody, size_t APiece) {
    ASink.Begin(0, ABody.size());
    for (size_t at = 0; at < ABody.size(); at += APiece)
        ASink.Write(ABody.data() + at, std::min(APiece, ABody.size() - at));
    ASink.Finish();
}

// A content that compresses well but not trivially: lines of a report layout.
std::string Layout(size_t ALines) {
    std::string text;
    for (size_t i = 0; i < ALines; ++i)
        text +=
            "Campo" + std::to_string(i % 97) + "=Paciente.Nome;Largura=" + std::to_string(i * 7 % 300) + "\n";
    return text;
}

TEST(InflatingSink, InflatesByteExactInAnyPieceSize) {
    const std::string content = Layout(5000);
    const std::string body = Deflated(content);
    ASSERT_LT(body.size(), content.size() / 4);
    for (const size_t piece : {size_t{1}, size_t{7}, size_t{4096}, body.size()}) {
        SCOPED_TRACE(piece);
        Capture file;
        Observer observer;
        TInflatingSink sink(file, &observer, content.size(), body.size(), "Rpt.rav");
        Deliver(sink, body, piece);
        EXPECT_EQ(file.bytes, content);
        EXPECT_EQ(observer.seen, content);
        EXPECT_EQ(sink.Inflated(), content.size());
    }
}

TEST(InflatingSink, AnEmptyContentAndAnExactSizeAreAccepted) {
    for (const std::string& content : {std::string(), std::string(1, 'x'), std::string(65536, '\0')}) {
        const std::string body = Deflated(content);
        Capture file;
        TInflatingSink sink(file, nullptr, content.size(), body.size(), "a");
        Deliver(sink, body, 3);
        EXPECT_EQ(file.bytes, content);
    }
}

struct Refusal {
    const char* what;
    std::string body;
    uint64_t inflatedSize;  // as signed
    uint64_t deflatedSize;  // as signed
    bool inflateError;      // true: the plain object may be taken instead; false: the content is refused
    const char* message;
};

TEST(InflatingSink, RefusesBombsCutAndGarbledStreams) {
    const std::string content = Layout(2000);
    const std::string body = Deflated(content);
    std::string garbled = body;
    garbled[garbled.size() / 2] ^= 0x55;
    std::string badCheck = body;
    badCheck.back() ^= 1;  // the Adler-32 at the end
    const std::string zeros(10 << 20, '\0');
    const std::string bomb = Deflated(zeros);  // about 10 KB that inflate to 10 MB
    const Refusal cases[] = {
        {"a bomb: 10 MB out of a file signed as 1 MB", bomb, 1 << 20, bomb.size(), false,
         "inflates past the signed size"},
        {"one byte more than signed", body, content.size() - 1, body.size(), false,
         "inflates past the signed size"},
        {"one byte less than signed", body, content.size() + 1, body.size(), false,
         "shorter than the signed"},
        {"cut short", body.substr(0, body.size() - 10), content.size(), body.size() - 10, true, "cut short"},
        {"garbage", std::string(300, 'G'), content.size(), 300, true, "not a deflated stream"},
        {"a byte flipped inside", garbled, content.size(), body.size(), true, "not a deflated stream"},
        {"a wrong check value", badCheck, content.size(), body.size(), true, "not a deflated stream"},
        {"data after the end", body + "tail", content.size(), body.size() + 4, true, "data after its end"},
        {"longer than its signed size", body, content.size(), body.size() - 1, true,
         "not of the signed size"},
        {"a raw deflate stream without the zlib header", body.substr(2), content.size(), body.size() - 2,
         true, "not a deflated stream"},
    };
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.what);
        Capture file;
        Observer observer;
        TInflatingSink sink(file, &observer, c.inflatedSize, c.deflatedSize, "gds32.dll");
        try {
            Deliver(sink, c.body, 4096);
            ADD_FAILURE() << "accepted";
        } catch (const TInflateError& e) {
            EXPECT_TRUE(c.inflateError) << e.what();
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        } catch (const Error& e) {
            EXPECT_FALSE(c.inflateError) << e.what();
            EXPECT_EQ(e.Category(), TErrorCategory::Altered);
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
        // Never a byte past the signed size written, and at most one more inflated at all.
        EXPECT_LE(file.bytes.size(), c.inflatedSize);
        EXPECT_LE(sink.Inflated(), c.inflatedSize + 1);
    }
}

// Empty stored blocks inflate to nothing: without the bound on the deflated size such a body would
// run for as long as the server sends it.
TEST(InflatingSink, AStreamOfEmptyBlocksEndsAtItsSignedSize) {
    std::string body = "\x78\x01";  // zlib header, no compression
    const std::string emptyStoredBlock("\x00\x00\x00\xff\xff", 5);
    for (int i = 0; i < 1000; ++i) body += emptyStoredBlock;
    Capture file;
    TInflatingSink sink(file, nullptr, 10, 500, "a");
    sink.Begin(0, std::nullopt);
    try {
        sink.Write(body.data(), body.size());
        ADD_FAILURE() << "accepted";
    } catch (const TInflateError& e) {
        EXPECT_NE(std::string(e.what()).find("longer than signed"), std::string::npos) << e.what();
    }
    EXPECT_EQ(file.bytes, "");
}

TEST(InflatingSink, ACutBodyContinuesWhereTheInflaterStoppedAndARestartStartsOver) {
    const std::string content = Layout(3000);
    const std::string body = Deflated(content);
    const size_t cut = body.size() / 3;
    Capture file;
    TInflatingSink sink(file, &file, content.size(), body.size(), "a");
    sink.Begin(0, body.size());
    sink.Write(body.data(), cut);
    const uint64_t inflatedAtCut = sink.Inflated();
    // Continued from the cut: the file and the observer continue at the inflated length.
    sink.Begin(cut, body.size());
    EXPECT_EQ(file.starts.back(), inflatedAtCut);
    sink.Write(body.data() + cut, body.size() - cut);
    sink.Finish();
    EXPECT_EQ(file.bytes, content);

    // A continuation from anywhere else cannot be inflated; a fresh start can.
    Capture again;
    TInflatingSink other(again, nullptr, content.size(), body.size(), "a");
    other.Begin(0, body.size());
    other.Write(body.data(), cut);
    EXPECT_THROW(other.Begin(cut + 1, body.size()), Error);
    other.Begin(0, body.size());
    other.Write(body.data(), body.size());
    other.Finish();
    EXPECT_EQ(again.bytes, content);
    EXPECT_EQ(again.starts, (std::vector<uint64_t>{0, 0}));
}

}  // namespace
