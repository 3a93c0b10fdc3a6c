// The trust root's chain rules on the workstation's side: the table the native tests run with
// OpenSSL, here with CNG's verification and keys made by CNG.
#include <gtest/gtest.h>

#include <memory>

#include "base/string_convert.h"
#include "support/root_chain_cases.h"
#include "support/test_publisher.h"
#include "update/trust/cng_signature_check.h"

namespace {

class CngSigner final : public root_cases::ITestSigner {
  public:
    CngSigner() {
        for (size_t i = 0; i < root_cases::kKeysNeeded; ++i)
            FKeys.push_back(std::make_unique<TestPublisher>());
    }
    size_t Count() const override { return FKeys.size(); }
    TPublicPoint Point(size_t AKey) const override {
        return DecodePublisherKey(WideToUtf8(FKeys.at(AKey)->PublicKeyText()));
    }
    std::string Sign(size_t AKey, std::string_view ABytes) const override {
        return FKeys.at(AKey)->Sign(ABytes);
    }

  private:
    std::vector<std::unique_ptr<TestPublisher>> FKeys;
};

class RootRulesOnCng : public ::testing::Test {
  protected:
    CngSigner signer;
    TCngSignatureCheck check;
};

TEST_F(RootRulesOnCng, NextVersionNeedsBothThresholdsOfDistinctKeys) {
    root_cases::NextVersionRows(check, signer);
}
TEST_F(RootRulesOnCng, ChainWalksVersionsInOrderAndRevokesDroppedKeys) {
    root_cases::ChainRows(check, signer);
}
TEST_F(RootRulesOnCng, FirstRootComesFromTheAnchorOrThePublisherKey) {
    root_cases::FirstRootRows(check, signer);
}
TEST_F(RootRulesOnCng, SigningKeyNeedsItsRoleAndWindow) { root_cases::SigningKeyRows(check, signer); }

TEST_F(RootRulesOnCng, APointOffTheCurveVerifiesNothing) {
    TPublicPoint offCurve{};
    offCurve[63] = 1;
    EXPECT_FALSE(check.Verifies(offCurve, "bytes", std::string(64, '\0')));
}

}  // namespace
