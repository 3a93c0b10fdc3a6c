// The CNG pieces under verified updates, on their own: the hash against published vectors, the
// signature check against a key of the test's own, the content check's edges, the stored serial.
#include <gtest/gtest.h>

#include "base/string_convert.h"
#include "support/test_files.h"
#include "support/test_publisher.h"
#include "update/state/accepted_serial.h"
#include "update/plan/file_content_check.h"
#include "update/plan/release_plan.h"
#include "update/trust/content_verifier.h"
#include "update/trust/publisher_key.h"

namespace {

std::string Hex(const TSha256& digest) {
    std::string text;
    char pair[3];
    for (const uint8_t b : digest) {
        snprintf(pair, sizeof(pair), "%02x", b);
        text += pair;
    }
    return text;
}

TEST(Sha256Hasher, MatchesThePublishedVectorsAlsoWhenFedInPieces) {
    EXPECT_EQ(Hex(Sha256Of("")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Hex(Sha256Of("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    std::string million(1000000, 'a');
    TSha256Hasher hasher;
    for (size_t at = 0; at < million.size(); at += 4093)
        hasher.Update(million.data() + at, std::min<size_t>(4093, million.size() - at));
    EXPECT_EQ(Hex(hasher.Finish()), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    EXPECT_EQ(Hex(hasher.Finish()), Hex(Sha256Of(""))) << "Finish starts over";
}

TEST(PublisherKey, VerifiesOnlyTheSignedBytesWithTheKeyThatSignedThem) {
    const TestPublisher publisher, other;
    const std::string message = R"({"format":"aurevia-manifest/1","serial":7})";
    const std::string signature = publisher.Sign(message);
    const TPublisherKey key(WideToUtf8(publisher.PublicKeyText()));
    EXPECT_TRUE(key.Verifies(message, signature));
    EXPECT_FALSE(key.Verifies(message + " ", signature));
    EXPECT_FALSE(key.Verifies(message, other.Sign(message)));
    for (const size_t bit : {0u, 255u, 256u, 511u}) {
        std::string flipped = signature;
        flipped[bit / 8] = static_cast<char>(flipped[bit / 8] ^ (1 << (bit % 8)));
        EXPECT_FALSE(key.Verifies(message, flipped)) << "bit " << bit;
    }
    EXPECT_FALSE(key.Verifies(message, signature.substr(0, 63)));
    EXPECT_FALSE(key.Verifies(message, signature + '\0'));
    EXPECT_THROW(TPublisherKey("ecdsa-p384:AAAA"), TManifestError);
}

TEST(ContentVerifier, PassesExactlyTheListedBytesAndNoticesTheRest) {
    const TManifestFile expected = TestPublisher::Entry("gds32.dll", "0123456789");
    struct Case {
        const char* why;
        std::vector<std::string> pieces;
        std::optional<uint64_t> announced;
        bool passes;
    };
    const Case cases[] = {
        {"whole", {"0123456789"}, 10, true},
        {"in pieces, no length", {"0123", "", "456789"}, std::nullopt, true},
        {"one byte changed", {"0123456788"}, 10, false},
        {"one byte short", {"012345678"}, std::nullopt, false},
        {"one byte more", {"0123456789", "0"}, std::nullopt, false},
        {"another length announced", {}, 11, false},
    };
    for (const Case& c : cases) {
        TContentVerifier verifier(expected);
        bool passed = true;
        try {
            verifier.Begin(0, c.announced);
            for (const std::string& piece : c.pieces) verifier.Received(piece.data(), piece.size());
            verifier.Finish();
        } catch (const std::exception&) {
            passed = false;
        }
        EXPECT_EQ(passed, c.passes) << c.why;
        EXPECT_EQ(verifier.Altered(), !c.passes) << c.why;
    }
}

TEST(ContentVerifier, ARetryStartsTheHashOverAndOnlyASeamlessResumeContinuesIt) {
    const TManifestFile expected = TestPublisher::Entry("gds32.dll", "0123456789");
    TContentVerifier verifier(expected);
    verifier.Begin(0, 10);
    verifier.Received("01234xx", 7);
    verifier.Begin(0, 10);  // the retry could not resume: everything again
    verifier.Received("01234", 5);
    verifier.Begin(5, 10);  // resumed where the file on disk ends
    verifier.Received("56789", 5);
    EXPECT_NO_THROW(verifier.Finish());

    TContentVerifier gap(expected);
    gap.Begin(0, 10);
    gap.Received("012", 3);
    EXPECT_THROW(gap.Begin(5, 10), std::exception) << "bytes 3 to 5 were never seen";
    EXPECT_FALSE(gap.Altered()) << "the transport's fault, not the content's";
}

TEST(FileMatchesManifest, ReadsTheFileOnceAgainstItsEntry) {
    TempFolder folder;
    WriteWholeFile(folder / L"Aurevia.EXE", std::string(3 << 20, 'e'));
    const TManifestFile entry = TestPublisher::Entry("Aurevia.EXE", std::string(3 << 20, 'e'));
    EXPECT_TRUE(FileMatchesManifest(entry, folder / L"Aurevia.EXE"));
    WriteWholeFile(folder / L"Aurevia.EXE", std::string(3 << 20, 'e') + "!");
    EXPECT_FALSE(FileMatchesManifest(entry, folder / L"Aurevia.EXE"));
    EXPECT_FALSE(FileMatchesManifest(entry, folder / L"missing.exe"));
}

// The plan matches names by the rule the updater keys its files with (the file system's linguistic
// upper-casing), for the updater, the self-update and the support tools alike, so that a name
// differing from its signed entry only in the case of an accented letter is still the signed file,
// and no other name ever is.
TEST(ReleasePlan, MatchesNamesByTheOneRule) {
    TReleaseManifest manifest;
    manifest.Files = {{"Sub\\Aurevia.EXE", 1, {}},
                      {"Relat\xC3\xB3rio\\A\xC3\xA7\xC3\xA3o.rav", 2, {}},  // Relatório\Ação.rav
                      {"\xC3\x89tica.dll", 3, {}}};                         // Ética.dll
    const TReleasePlan index = TReleasePlan::OfManifest(manifest);
    const struct {
        const wchar_t* name;
        uint64_t size;  // 0: not found
    } cases[] = {
        {L"Sub\\Aurevia.EXE", 1},
        {L"sub\\aurevia.exe", 1},
        {L"RELAT\u00d3RIO\\A\u00c7\u00c3O.RAV", 2},
        {L"relat\u00f3rio\\a\u00e7\u00e3o.rav", 2},
        {L"\u00e9tica.dll", 3},
        {L"\u00c9TICA.DLL", 3},
        {L"Etica.dll", 0},  // another letter, not another case
        {L"Relatorio\\Acao.rav", 0},
        {L"Sub/Aurevia.EXE", 0},
        {L"Aurevia.EXE", 0},
        {L"", 0},
    };
    for (const auto& c : cases) {
        const std::optional<TPlannedFile> found = index.Find(c.name);
        EXPECT_EQ(found ? found->Expected->Size : 0, c.size) << WideToUtf8(c.name);
    }
    manifest.Files.push_back({"\xC3\xA9TICA.dll", 4, {}});  // éTICA.dll: Ética.dll under the rule
    EXPECT_THROW(TReleasePlan::OfManifest(manifest), TManifestError);
}

TEST(AcceptedSerial, OnlyRisesAndCountsAValueOfAnotherTypeAsNone) {
    const std::wstring key = L"Software\\AureviaTest\\serial-" + std::to_wstring(GetCurrentProcessId());
    const TAcceptedSerial serial(key);
    EXPECT_EQ(serial.Highest(), std::nullopt);
    serial.Raise(5);
    serial.Raise(3);
    EXPECT_EQ(serial.Highest(), std::optional<uint64_t>(5));
    serial.Raise(1ull << 40);
    EXPECT_EQ(serial.Highest(), std::optional<uint64_t>(1ull << 40));
    RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), kSerialRegistryValue, REG_SZ, L"9", 4);
    EXPECT_EQ(serial.Highest(), std::nullopt);
    RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
}

}  // namespace
