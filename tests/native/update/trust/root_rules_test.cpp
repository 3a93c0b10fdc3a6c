// The trust root's chain rules with the publisher's OpenSSL check (the same table runs under Wine
// with CNG), and the root document's codec.
#include <gtest/gtest.h>

#include <openssl/x509.h>

#include <memory>

#include "support/root_chain_cases.h"
#include "tools/publish/publisher_key.h"
#include "tools/publish/root_signature_check.h"

namespace {

class OpenSslSigner final : public root_cases::ITestSigner {
  public:
    OpenSslSigner() {
        for (size_t i = 0; i < root_cases::kKeysNeeded; ++i) FKeys.push_back(publish::GenerateKey());
    }
    size_t Count() const override { return FKeys.size(); }
    TPublicPoint Point(size_t AKey) const override { return publish::PublicPointOf(FKeys.at(AKey).get()); }
    std::string Sign(size_t AKey, std::string_view ABytes) const override {
        const publish::RawSignature raw = publish::Sign(FKeys.at(AKey).get(), ABytes);
        return std::string(reinterpret_cast<const char*>(raw.data()), raw.size());
    }

  private:
    std::vector<publish::Key> FKeys;
};

class RootRules : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { signer = std::make_unique<OpenSslSigner>(); }
    static void TearDownTestSuite() { signer.reset(); }
    static std::unique_ptr<OpenSslSigner> signer;
    publish::OpenSslSignatureCheck check;
};
std::unique_ptr<OpenSslSigner> RootRules::signer;

TEST_F(RootRules, NextVersionNeedsBothThresholdsOfDistinctKeys) {
    root_cases::NextVersionRows(check, *signer);
}
TEST_F(RootRules, ChainWalksVersionsInOrderAndRevokesDroppedKeys) { root_cases::ChainRows(check, *signer); }
TEST_F(RootRules, FirstRootComesFromTheAnchorOrThePublisherKey) { root_cases::FirstRootRows(check, *signer); }
TEST_F(RootRules, SigningKeyNeedsItsRoleAndWindow) { root_cases::SigningKeyRows(check, *signer); }

TEST_F(RootRules, KeyIdIsTheSha256OfTheDerPublicKey) {
    // The id that `openssl pkey -pubin -outform DER | sha256sum` prints for the same key.
    const TPublicPoint point = signer->Point(0);
    const publish::Key key = publish::PublicKeyFrom(point);
    unsigned char* der = nullptr;
    const int length = i2d_PUBKEY(key.get(), &der);
    ASSERT_GT(length, 0);
    const std::string fromOpenSsl(reinterpret_cast<char*>(der), static_cast<size_t>(length));
    OPENSSL_free(der);
    EXPECT_EQ(SubjectPublicKeyInfoOf(point), fromOpenSsl);
}

// The codec on its own: a document a workstation reads must mean one thing.
TRootDocument SampleRoot() {
    TRootDocument root;
    root.Product = "aurevia";
    root.Version = 2;
    root.ExpiresUnix = 1'827'619'200;  // 2027-12-01T00:00:00Z
    root.Epoch = 1;
    root.SerialFloor = 7;
    root.Threshold = 1;
    TPublicPoint point{};
    point[63] = 1;
    TKeyId id{};
    id[0] = 0xab;
    root.RootKeys.push_back({id, point});
    id[0] = 0xcd;
    root.SigningKeys.push_back(
        {id, point, root_cases::kManifest | root_cases::kRollout, 1'796'083'200, 1'811'808'000});
    return root;
}

TEST(RootDocument, EncodesToTheDocumentedFormAndBack) {
    const std::string bytes = EncodeRootDocument(SampleRoot());
    const std::string zeros(62, '0');
    const std::string key = EncodePublisherKey(SampleRoot().RootKeys[0].Point);
    EXPECT_EQ(
        bytes,
        R"({"format":"aurevia-root/1","product":"aurevia","version":2,"expires":"2027-12-01T00:00:00Z",)"
        R"("epoch":1,"serial_floor":7,"threshold":1,"root_keys":[{"id":"ab)" +
            zeros + R"(","key":")" + key + R"("}],"keys":[{"id":"cd)" + zeros + R"(","key":")" + key +
            R"(","roles":["manifest","rollout"],"not_before":"2026-12-01T00:00:00Z",)"
            R"("not_after":"2027-06-01T00:00:00Z"}]})");
    const TRootDocument back = DecodeRootDocument(bytes);
    EXPECT_EQ(EncodeRootDocument(back), bytes);
    EXPECT_EQ(back.SigningKeys.at(0).Roles, root_cases::kManifest | root_cases::kRollout);
}

TEST(RootDocument, RefusesWhatCouldMeanTwoThingsOrBreakABound) {
    const std::string good = EncodeRootDocument(SampleRoot());
    auto with = [&](const std::string& from, const std::string& to) {
        std::string bytes = good;
        const size_t at = bytes.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return bytes.replace(at, from.size(), to);
    };
    struct Case {
        std::string bytes;
        const char* message;
    };
    const Case cases[] = {
        {with("\"version\":2", "\"version\":0"), "root versions start at 1"},
        {with("\"version\":2", "\"version\":2,\"version\":3"), "\"version\" is given twice"},
        {with("\"version\":2", "\"version\":-2"), "not an unsigned integer"},
        {with("\"threshold\":1", "\"threshold\":2"), "not between 1 and the 1 root keys"},
        {with("\"threshold\":1", "\"threshold\":0"), "not between 1"},
        {with("\"product\":\"aurevia\"", "\"product\":\"\""), "is not 1 to 64 characters"},
        {with("\"product\":\"aurevia\"", "\"product\":\"a\\nb\""), "is not 1 to 64 characters"},
        {with("\"aurevia-root/1\"", "\"aurevia-root/2\""), "format is not aurevia-root/1"},
        {with("[\"manifest\",\"rollout\"]", "[\"manifest\",\"manifest\"]"), "given twice"},
        {with("[\"manifest\",\"rollout\"]", "[\"admin\"]"), "Unknown role"},
        {with("[\"manifest\",\"rollout\"]", "[]"), "no role"},
        {with("\"not_before\":\"2026-12-01T00:00:00Z\"", "\"not_before\":\"2027-07-01T00:00:00Z\""),
         "ends before it begins"},
        {with("\"not_before\":\"2026-12-01T00:00:00Z\"", "\"not_before\":\"1500-01-01T00:00:00Z\""),
         "not_before"},
        {with("\"root_keys\":[", "\"root_keys\":[{\"id\":\"ab" + std::string(62, '0') + "\",\"key\":\"" +
                                     EncodePublisherKey(SampleRoot().RootKeys[0].Point) + "\"},"),
         "is given twice"},
        {with("\"id\":\"ab", "\"id\":\"AB"), "not lowercase hex"},
        {with("\"serial_floor\":7,", ""), "lacks \"serial_floor\""},
        {good.substr(0, good.size() - 1), "not JSON"},
        {std::string(kMostRootDocumentSize + 1, ' '), "larger than"},
    };
    for (const Case& c : cases) {
        try {
            DecodeRootDocument(c.bytes);
            ADD_FAILURE() << "accepted: " << c.bytes;
        } catch (const TManifestError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

TEST(RootSignatures, OneLinePerSignatureWithinBounds) {
    const std::string signature(64, '\x07');
    TKeyId id{};
    id[31] = 0x5a;
    const std::string text = EncodeRootSignatures({{id, signature}, {id, signature}});
    EXPECT_EQ(text.substr(0, 65), std::string(62, '0') + "5a ");
    EXPECT_EQ(DecodeRootSignatures(text).size(), 2u);
    const std::string line = text.substr(0, text.find('\n') + 1);
    std::string tooMany;
    for (size_t i = 0; i <= kMostRootSignatures; ++i) tooMany += line;
    const std::string refused[] = {
        line.substr(0, line.size() - 1),                // no final newline
        std::string(62, '0') + "5A" + line.substr(64),  // an uppercase id
        line.substr(0, 64) + "  " + line.substr(65),    // two spaces
        line.substr(0, 65) + "AAAA\n",                  // 3 bytes, not 64
        tooMany,
    };
    for (const std::string& bytes : refused)
        EXPECT_THROW(DecodeRootSignatures(bytes), TManifestError) << bytes;
    EXPECT_TRUE(DecodeRootSignatures("").empty());
}

}  // namespace
