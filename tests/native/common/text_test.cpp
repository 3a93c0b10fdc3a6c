// The shared text helpers: the UTF-8 codec, hex and the JSON writer.
#include <gtest/gtest.h>

#include <cstring>

#include <rapidjson/document.h>

#include "common/hex.h"
#include "common/json_writer.h"
#include "common/utf8.h"

namespace {

TEST(Utf8, DecodesOneSequenceAndSaysWhenThereIsNone) {
    struct Case {
        const char* text;
        char32_t point;
        size_t length;  // 0: not a valid sequence
    } cases[] = {
        {"A", U'A', 1},
        {"\xC3\xA7", U'\u00E7', 2},
        {"\xE2\x82\xAC", U'\u20AC', 3},
        {"\xF0\x9F\x8F\xA5", U'\U0001F3E5', 4},
        {"\xF4\x8F\xBF\xBF", U'\U0010FFFF', 4},
        {"\xC3", 0, 0},                  // cut short
        {"\x80", 0, 0},                  // a continuation byte alone
        {"\xC3(", 0, 0},                 // a continuation byte missing
        {"\xC0\xAF", 0, 0},              // overlong two bytes
        {"\xE0\x80\xAF", 0, 0},          // overlong three bytes
        {"\xF0\x80\x80\xAF", 0, 0},      // overlong four bytes
        {"\xED\xA0\x80", 0, 0},          // a surrogate
        {"\xF4\x90\x80\x80", 0, 0},      // past U+10FFFF
        {"\xF8\x88\x80\x80\x80", 0, 0},  // five bytes
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const Utf8Sequence sequence = DecodeUtf8(c.text);
        EXPECT_EQ(sequence.length, c.length);
        if (c.length) {
            EXPECT_EQ(sequence.point, c.point);
        }
    }
    EXPECT_EQ(DecodeUtf8("").length, 0u);
}

TEST(Utf8, EncodesWhatItDecodesAndNeverWritesInvalidText) {
    for (const char32_t point :
         {U'\0', U'\x7F', U'\x80', U'\u07FF', U'\u0800', U'\uFFFF', U'\U00010000', U'\U0010FFFF'}) {
        std::string text;
        AppendUtf8(text, point);
        const Utf8Sequence back = DecodeUtf8(text);
        EXPECT_EQ(back.length, text.size());
        EXPECT_EQ(back.point, point);
    }
    for (const char32_t invalid : {char32_t(0xD800), char32_t(0xDFFF), char32_t(0x110000)}) {
        std::string text;
        AppendUtf8(text, invalid);
        EXPECT_EQ(text, "\xEF\xBF\xBD");
    }
}

TEST(Hex, WritesEitherCaseAndReadsOnlyWholeDigitPairs) {
    const uint8_t bytes[] = {0x00, 0x0F, 0xA5, 0xFF};
    EXPECT_EQ(HexText(bytes, sizeof bytes), "000fa5ff");
    EXPECT_EQ(HexText(bytes, sizeof bytes, HexCase::Upper), "000FA5FF");
    uint8_t back[4] = {};
    ASSERT_TRUE(HexBytes("000FA5ff", back, sizeof back));
    EXPECT_EQ(0, std::memcmp(back, bytes, sizeof bytes));
    for (const char* bad : {"", "000fa5f", "000fa5fff", "000fa5fg", "000fa5f ", "0x0fa5ff"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(HexBytes(bad, back, sizeof back));
    }
}

// Every byte a text may hold comes back from a JSON reader as it went in.
TEST(JsonWriter, EveryByteSurvivesAReader) {
    std::string all;
    for (int c = 0; c < 0x80; ++c) all.push_back(static_cast<char>(c));
    all += "ç\xE2\x82\xAC\xF0\x9F\x8F\xA5";
    JsonWriter writer;
    writer.StartObject().Member("text", all).Member("count", uint64_t{18446744073709551615u});
    writer.Member("negative", int64_t{-5}).Member("yes", true).Key("none").Null().EndObject();
    rapidjson::Document document;
    document.Parse<rapidjson::kParseValidateEncodingFlag>(writer.Text().data(), writer.Text().size());
    ASSERT_FALSE(document.HasParseError()) << writer.Text();
    EXPECT_EQ(std::string(document["text"].GetString(), document["text"].GetStringLength()), all);
    EXPECT_EQ(document["count"].GetUint64(), 18446744073709551615u);
    EXPECT_EQ(document["negative"].GetInt64(), -5);
    EXPECT_TRUE(document["yes"].GetBool());
    EXPECT_TRUE(document["none"].IsNull());
    // One line, whatever the text held: spool files and logs keep a report per line.
    EXPECT_EQ(writer.Text().find('\n'), std::string::npos);
}

TEST(JsonWriter, AppendsOneStringToJsonBuiltByHand) {
    std::string out = "[";
    AppendJsonString(out, "a\"b\\c\n");
    out += ",";
    AppendJsonString(out, std::string_view("\0x", 2));
    out += "]";
    EXPECT_EQ(out, R"(["a\"b\\c\n","\u0000x"])");
}

}  // namespace
