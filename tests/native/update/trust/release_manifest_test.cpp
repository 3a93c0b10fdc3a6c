#include <gtest/gtest.h>

#include <string>

#include "cases/release_manifest_cases.h"
#include "update/trust/release_manifest.h"

namespace {

template <class F>
std::string MessageOf(F&& step) {
    try {
        step();
    } catch (const TManifestError& e) {
        return e.what();
    }
    return "(no error)";
}

TSha256 HashOf(uint8_t first) {
    TSha256 hash{};
    for (size_t i = 0; i < hash.size(); ++i) hash[i] = static_cast<uint8_t>(first + i);
    return hash;
}

TEST(ReleaseManifest, EncodesToTheDocumentedBytes) {
    TReleaseManifest manifest;
    manifest.Serial = 1765378800;
    manifest.ExpiresUnix = 1799503200;
    manifest.Files = {{"Relatorio\\Rpt.rav", 1234, HashOf(0xe0)}, {"Relat\xC3\xB3rio.txt", 0, HashOf(0)}};
    EXPECT_EQ(
        EncodeReleaseManifest(manifest),
        R"({"format":"aurevia-manifest/1","serial":1765378800,"expires":"2027-01-09T14:00:00Z","files":[)"
        R"({"name":"Relatorio\\Rpt.rav","size":1234,)"
        R"("sha256":"e0e1e2e3e4e5e6e7e8e9eaebecedeeeff0f1f2f3f4f5f6f7f8f9fafbfcfdfeff"},)"
        "{\"name\":\"Relat\xC3\xB3rio.txt\",\"size\":0,"
        R"("sha256":"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"}]})");
}

TEST(ReleaseManifest, DecodesWhatItEncodes) {
    TReleaseManifest manifest;
    manifest.Serial = UINT64_MAX;
    manifest.ExpiresUnix = -1;  // 1969-12-31T23:59:59Z: the day boundary below zero
    manifest.Files = {{"a", UINT64_MAX, HashOf(7)}, {"b\\c\\d e.dll", 3, HashOf(200)}};
    const TReleaseManifest decoded = DecodeReleaseManifest(EncodeReleaseManifest(manifest));
    EXPECT_EQ(decoded.Serial, manifest.Serial);
    EXPECT_EQ(decoded.ExpiresUnix, manifest.ExpiresUnix);
    ASSERT_EQ(decoded.Files.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(decoded.Files[i].Name, manifest.Files[i].Name);
        EXPECT_EQ(decoded.Files[i].Size, manifest.Files[i].Size);
        EXPECT_EQ(decoded.Files[i].Sha256, manifest.Files[i].Sha256);
    }
}

TEST(ReleaseManifest, ExpiryOutsideFourDigitYearsIsNotWritten) {
    TReleaseManifest manifest;
    manifest.ExpiresUnix = 253402300800;  // 10000-01-01
    EXPECT_THROW(EncodeReleaseManifest(manifest), TManifestError);
    manifest.ExpiresUnix = -62135596801;  // one second before year 1
    EXPECT_THROW(EncodeReleaseManifest(manifest), TManifestError);
    manifest.ExpiresUnix = INT64_MIN;
    EXPECT_THROW(EncodeReleaseManifest(manifest), TManifestError);
}

TEST(ReleaseManifest, TakesTheGoodCases) {
    for (const auto& c : kGoodManifestCases) {
        SCOPED_TRACE(c.json);
        const TReleaseManifest manifest = DecodeReleaseManifest(c.json);
        EXPECT_EQ(manifest.Serial, c.serial);
        EXPECT_EQ(manifest.ExpiresUnix, c.expiresUnix);
        EXPECT_EQ(manifest.Files.size(), c.fileCount);
    }
    const auto manifest = DecodeReleaseManifest(kGoodManifestCases[1].json);
    EXPECT_EQ(manifest.Files[0].Name, "Relatorio\\Rpt.rav");
    EXPECT_EQ(manifest.Files[0].Size, 0u);
    EXPECT_EQ(manifest.Files[0].Sha256,
              (TSha256{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa,
                       0xbb, 0xcc, 0xdd, 0xee, 0xff, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55,
                       0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff}));
    EXPECT_EQ(DecodeReleaseManifest(kGoodManifestCases[2].json).Files[1].Name,
              "Relat\xC3\xB3rios\\Sa\xC3\xAD"
              "da ..x\\a.b.");
}

TEST(ReleaseManifest, RefusesTheBadCasesSayingWhy) {
    for (const auto& c : kBadManifestCases) {
        SCOPED_TRACE(c.json);
        EXPECT_NE(MessageOf([&] { DecodeReleaseManifest(c.json); }).find(c.message), std::string::npos)
            << MessageOf([&] { DecodeReleaseManifest(c.json); });
    }
}

TEST(ReleaseManifest, RefusesEveryCutOfAGoodManifest) {
    const std::string_view whole = kGoodManifestCases[2].json;
    for (size_t length = 0; length < whole.size(); ++length)
        EXPECT_THROW(DecodeReleaseManifest(whole.substr(0, length)), TManifestError) << length;
}

TEST(ReleaseManifest, DeepNestingInAnUnknownMemberIsSkippedWithoutRecursion) {
    const std::string deep = std::string(200000, '[') + std::string(200000, ']');
    const std::string json =
        R"({"format":"aurevia-manifest/1","serial":1,"expires":"2030-01-01T00:00:00Z","x":)" + deep +
        R"(,"files":[]})";
    EXPECT_EQ(DecodeReleaseManifest(json).Serial, 1u);
}

TEST(ReleaseManifest, FindsFilesIgnoringAsciiCaseOnly) {
    TReleaseManifest manifest;
    manifest.Files = {{"Sub\\Aurevia.EXE", 1, {}}, {"\xC3\x89.dll", 2, {}}};  // É
    ASSERT_NE(FindManifestFile(manifest, "sub\\aurevia.exe"), nullptr);
    EXPECT_EQ(FindManifestFile(manifest, "sub\\aurevia.exe")->Size, 1u);
    EXPECT_EQ(FindManifestFile(manifest, "\xC3\x89.DLL")->Size, 2u);
    EXPECT_EQ(FindManifestFile(manifest, "\xC3\xA9.dll"), nullptr);  // é: not an ASCII letter
    EXPECT_EQ(FindManifestFile(manifest, "Sub/Aurevia.EXE"), nullptr);
    EXPECT_EQ(FindManifestFile(manifest, "Aurevia.EXE"), nullptr);
}

TEST(PublisherKey, RoundTripsAndIgnoresTheBlanksAroundTheLine) {
    std::array<uint8_t, 64> point{};
    for (size_t i = 0; i < point.size(); ++i) point[i] = static_cast<uint8_t>(0xff - i);
    const std::string text = EncodePublisherKey(point);
    EXPECT_EQ(text.substr(0, 11), "ecdsa-p256:");
    EXPECT_EQ(text.size(), 11u + 88u);
    EXPECT_EQ(DecodePublisherKey(text), point);
    EXPECT_EQ(DecodePublisherKey(" \t" + text + "\r\n"), point);
}

TEST(PublisherKey, RefusesOtherKindsAndBrokenText) {
    for (const auto& c : kBadPublisherKeyCases) {
        SCOPED_TRACE(c.text);
        EXPECT_NE(MessageOf([&] { DecodePublisherKey(c.text); }).find(c.message), std::string::npos)
            << MessageOf([&] { DecodePublisherKey(c.text); });
    }
    // A point whose first byte is not 04.
    std::array<uint8_t, 64> point{};
    std::string text = EncodePublisherKey(point);
    text[11] = 'A';  // the first six bits: 0x04 becomes 0x00
    EXPECT_NE(MessageOf([&] { DecodePublisherKey(text); }).find("uncompressed"), std::string::npos);
}

}  // namespace
