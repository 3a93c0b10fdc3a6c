#pragma once
// The trust root's chain rules as one table of cases, run by the native tests with OpenSSL and by
// the Windows tests with CNG: the same rows must decide alike on both sides, since the publisher
// refuses to write what the workstation would refuse. Header-only; each side hands in its signature
// check and a signer holding a few P-256 key pairs.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "update/trust/root_rules.h"

namespace root_cases {

class ITestSigner {
  public:
    virtual ~ITestSigner() = default;
    virtual size_t Count() const = 0;
    virtual TPublicPoint Point(size_t AKey) const = 0;
    virtual std::string Sign(size_t AKey, std::string_view ABytes) const = 0;  // 64 bytes r||s
};

inline constexpr int64_t kNow = 1'800'000'000;  // 2027-01-15 08:00:00 UTC
inline constexpr int64_t kDay = 86'400;
inline constexpr size_t kKeysNeeded = 8;  // 0-2 first root keys, 3-5 rotated root keys, 6-7 signing keys

class TChain {
  public:
    TChain(const ISignatureCheck& ACheck, const ITestSigner& ASigner) : FCheck(ACheck), FSigner(ASigner) {}

    TKeyId Id(size_t AKey) const { return KeyIdOf(FCheck, FSigner.Point(AKey)); }

    TSigningKey SigningKey(size_t AKey, uint8_t ARoles, int64_t ANotBefore = kNow - 30 * kDay,
                           int64_t ANotAfter = kNow + 30 * kDay) const {
        return {Id(AKey), FSigner.Point(AKey), ARoles, ANotBefore, ANotAfter};
    }

    TRootDocument Root(uint64_t AVersion, std::vector<size_t> ARootKeys = {0, 1, 2}, unsigned AThreshold = 2,
                       std::vector<TSigningKey> AKeys = {}) const {
        TRootDocument root;
        root.Product = "aurevia";
        root.Version = AVersion;
        root.ExpiresUnix = kNow + 365 * kDay;
        root.Epoch = 1;
        root.Threshold = AThreshold;
        for (const size_t key : ARootKeys) root.RootKeys.push_back({Id(key), FSigner.Point(key)});
        root.SigningKeys = std::move(AKeys);
        return root;
    }

    // One signature line per entry of ASigners, in order (an entry repeated repeats the line).
    TRootVersionBytes Signed(const TRootDocument& ARoot, const std::vector<size_t>& ASigners) const {
        return SignedBytes(EncodeRootDocument(ARoot), ASigners);
    }
    TRootVersionBytes SignedBytes(std::string ABytes, const std::vector<size_t>& ASigners) const {
        std::vector<TRootSignature> signatures;
        for (const size_t key : ASigners) signatures.push_back({Id(key), FSigner.Sign(key, ABytes)});
        return {std::move(ABytes), EncodeRootSignatures(signatures)};
    }

  private:
    const ISignatureCheck& FCheck;
    const ITestSigner& FSigner;
};

constexpr uint8_t kManifest = static_cast<uint8_t>(TKeyRole::Manifest);
constexpr uint8_t kRollout = static_cast<uint8_t>(TKeyRole::Rollout);

// The version after root 1 (keys 0-2, threshold 2, epoch 1): every way it can be refused.
inline void NextVersionRows(const ISignatureCheck& ACheck, const ITestSigner& ASigner) {
    const TChain chain(ACheck, ASigner);
    const TRootDocument one = chain.Root(1);
    const TRootDocument rotated = chain.Root(2, {3, 4, 5}, 2);
    TRootDocument otherProduct = chain.Root(2);
    otherProduct.Product = "aurevia-test";
    TRootDocument lowerEpoch = chain.Root(2);
    lowerEpoch.Epoch = 0;
    TRootDocument lyingId = chain.Root(2);
    lyingId.SigningKeys.push_back(chain.SigningKey(6, kManifest));
    lyingId.SigningKeys.back().Id = chain.Id(7);
    TRootVersionBytes altered = chain.Signed(chain.Root(2), {0, 1});
    altered.Document.insert(altered.Document.size() - 1, " ");  // same JSON, other bytes

    struct Case {
        const char* why;
        TRootVersionBytes version;
        TRootRefusal expected;
    };
    const Case cases[] = {
        {"two of three distinct root keys", chain.Signed(chain.Root(2), {0, 1}), TRootRefusal::None},
        {"all three, one of them twice", chain.Signed(chain.Root(2), {2, 0, 1, 0}), TRootRefusal::None},
        {"one key", chain.Signed(chain.Root(2), {1}), TRootRefusal::OldThreshold},
        {"one key's signature repeated to reach 2", chain.Signed(chain.Root(2), {1, 1}),
         TRootRefusal::OldThreshold},
        {"rotated, signed by the old and the new threshold", chain.Signed(rotated, {0, 1, 3, 4}),
         TRootRefusal::None},
        {"rotated, signed only by its new keys", chain.Signed(rotated, {3, 4, 5}),
         TRootRefusal::OldThreshold},
        {"rotated, signed by the old threshold only", chain.Signed(rotated, {0, 1, 2, 3}),
         TRootRefusal::OwnThreshold},
        {"rotated, the new threshold reached by one key twice", chain.Signed(rotated, {0, 1, 3, 3}),
         TRootRefusal::OwnThreshold},
        {"signatures over other bytes", altered, TRootRefusal::OldThreshold},
        {"version 3 after 1", chain.Signed(chain.Root(3), {0, 1}), TRootRefusal::SkippedVersion},
        {"version 1 again", chain.Signed(one, {0, 1}), TRootRefusal::Replayed},
        {"another product's root", chain.Signed(otherProduct, {0, 1}), TRootRefusal::WrongProduct},
        {"the serial epoch lowered", chain.Signed(lowerEpoch, {0, 1}), TRootRefusal::EpochLowered},
        {"a key id that is not its key's hash", chain.Signed(lyingId, {0, 1}), TRootRefusal::Malformed},
        {"a document past its bound",
         {std::string(kMostRootDocumentSize + 1, ' '), ""},
         TRootRefusal::TooLarge},
        {"a signature file past its bound",
         {EncodeRootDocument(chain.Root(2)), std::string(kMostRootSignaturesSize + 1, 'a')},
         TRootRefusal::TooLarge},
        {"not a root document", chain.SignedBytes("{}", {0, 1}), TRootRefusal::Malformed},
    };
    for (const Case& c : cases) {
        const TRootJudged judged = JudgeNextRoot(ACheck, one, c.version);
        EXPECT_EQ(judged.Refusal, c.expected) << c.why << ": " << judged.Detail;
        if (c.expected == TRootRefusal::None) {
            EXPECT_EQ(judged.Root.Version, 2u) << c.why;
        }
    }
    // The line under key 0's id carried key 6's signature: a wrong pairing counts for nothing.
    std::vector<TRootSignature> forged{{chain.Id(0), ASigner.Sign(6, EncodeRootDocument(chain.Root(2)))},
                                       {chain.Id(1), ASigner.Sign(1, EncodeRootDocument(chain.Root(2)))}};
    EXPECT_EQ(
        JudgeNextRoot(ACheck, one, {EncodeRootDocument(chain.Root(2)), EncodeRootSignatures(forged)}).Refusal,
        TRootRefusal::OldThreshold);
}

// The walk of an update over several versions, with a revocation on the way.
inline void ChainRows(const ISignatureCheck& ACheck, const ITestSigner& ASigner) {
    const TChain chain(ACheck, ASigner);
    const TRootDocument one = chain.Root(1, {0, 1, 2}, 2, {chain.SigningKey(6, kManifest | kRollout)});
    // 2 revokes key 6 and certifies key 7; 3 rotates the root keys; 4 raises the epoch.
    const TRootDocument two = chain.Root(2, {0, 1, 2}, 2, {chain.SigningKey(7, kManifest | kRollout)});
    TRootDocument three = chain.Root(3, {3, 4, 5}, 2, two.SigningKeys);
    three.ExpiresUnix = kNow - kDay;  // an intermediate version may have expired
    TRootDocument four = chain.Root(4, {3, 4, 5}, 2, two.SigningKeys);
    four.Epoch = 2;
    four.SerialFloor = 1'800'000'000;
    const std::vector<TRootVersionBytes> versions = {
        chain.Signed(two, {0, 1}), chain.Signed(three, {1, 2, 3, 4}), chain.Signed(four, {4, 5})};

    const TRootJudged caughtUp = JudgeRootChain(ACheck, one, versions, kNow);
    ASSERT_TRUE(caughtUp.Accepted()) << caughtUp.Detail;
    EXPECT_EQ(caughtUp.Root.Version, 4u);
    EXPECT_EQ(JudgeSigningKey(caughtUp.Root, chain.Id(6), TKeyRole::Manifest, kNow).Refusal,
              TKeyRefusal::NotCertified);
    EXPECT_TRUE(JudgeSigningKey(caughtUp.Root, chain.Id(7), TKeyRole::Rollout, kNow).Accepted());
    // The stolen key's serial 2^62 stops counting once the epoch is raised.
    EXPECT_EQ(HighestUnderEpoch(caughtUp.Root, 1, uint64_t{1} << 62), std::optional<uint64_t>(1'800'000'000));

    TRootDocument expiredFour = four;
    expiredFour.ExpiresUnix = kNow - 1;
    const std::vector<TRootVersionBytes> expiredAtEnd = {versions[0], versions[1],
                                                         chain.Signed(expiredFour, {4, 5})};
    EXPECT_EQ(JudgeRootChain(ACheck, one, expiredAtEnd, kNow).Refusal, TRootRefusal::Expired);
    EXPECT_EQ(JudgeRootChain(ACheck, one, {}, one.ExpiresUnix + 1).Refusal, TRootRefusal::Expired);

    const std::vector<TRootVersionBytes> brokenInTheMiddle = {versions[0], chain.Signed(three, {3, 4}),
                                                              versions[2]};
    const TRootJudged broken = JudgeRootChain(ACheck, one, brokenInTheMiddle, kNow);
    EXPECT_EQ(broken.Refusal, TRootRefusal::OldThreshold);
    EXPECT_NE(broken.Detail.find("root version 3"), std::string::npos) << broken.Detail;

    // An endless chain is refused before any version is read.
    const std::vector<TRootVersionBytes> endless(kMostRootVersionsPerUpdate + 1, versions[0]);
    EXPECT_EQ(JudgeRootChain(ACheck, one, endless, kNow).Refusal, TRootRefusal::ChainTooLong);
}

// Where a workstation starts: its anchor, or the one publisher key it trusted before a root.
inline void FirstRootRows(const ISignatureCheck& ACheck, const ITestSigner& ASigner) {
    const TChain chain(ACheck, ASigner);
    const TRootVersionBytes one = chain.Signed(chain.Root(1), {0, 2});
    const TSha256 anchor = ACheck.Sha256(one.Document);
    EXPECT_TRUE(JudgeAnchoredRoot(ACheck, anchor, one).Accepted());
    TRootVersionBytes other = one;
    other.Document.insert(other.Document.size() - 1, " ");
    EXPECT_EQ(JudgeAnchoredRoot(ACheck, anchor, other).Refusal, TRootRefusal::AnchorMismatch);
    const TRootVersionBytes selfSignedByOne = chain.Signed(chain.Root(1), {0});
    EXPECT_EQ(JudgeAnchoredRoot(ACheck, ACheck.Sha256(selfSignedByOne.Document), selfSignedByOne).Refusal,
              TRootRefusal::OwnThreshold);

    const TRootVersionBytes migrating = chain.Signed(chain.Root(1), {6, 0, 1});
    EXPECT_TRUE(JudgeRootSignedByKey(ACheck, ASigner.Point(6), migrating).Accepted());
    EXPECT_EQ(JudgeRootSignedByKey(ACheck, ASigner.Point(7), migrating).Refusal, TRootRefusal::OldThreshold);
    EXPECT_EQ(JudgeRootSignedByKey(ACheck, ASigner.Point(6), chain.Signed(chain.Root(1), {6, 0})).Refusal,
              TRootRefusal::OwnThreshold);
}

// A signing key against the root in force: role, both ends of its window, the root's expiry.
inline void SigningKeyRows(const ISignatureCheck& ACheck, const ITestSigner& ASigner) {
    const TChain chain(ACheck, ASigner);
    const int64_t begins = kNow - kDay, ends = kNow + kDay;
    const TRootDocument root = chain.Root(1, {0, 1, 2}, 2, {chain.SigningKey(6, kManifest, begins, ends)});
    struct Case {
        const char* why;
        size_t key;
        TKeyRole role;
        int64_t now;
        TKeyRefusal expected;
    };
    const Case cases[] = {
        {"inside its window", 6, TKeyRole::Manifest, kNow, TKeyRefusal::None},
        {"at not_before", 6, TKeyRole::Manifest, begins, TKeyRefusal::None},
        {"at not_after", 6, TKeyRole::Manifest, ends, TKeyRefusal::None},
        {"a second before", 6, TKeyRole::Manifest, begins - 1, TKeyRefusal::NotYetValid},
        {"a second past not_after", 6, TKeyRole::Manifest, ends + 1, TKeyRefusal::PastNotAfter},
        {"a manifest key signing a rollout", 6, TKeyRole::Rollout, kNow, TKeyRefusal::WrongRole},
        {"a key the root does not list", 7, TKeyRole::Manifest, kNow, TKeyRefusal::NotCertified},
        {"a root key is no signing key", 0, TKeyRole::Manifest, kNow, TKeyRefusal::NotCertified},
        {"the root expired", 6, TKeyRole::Manifest, root.ExpiresUnix + 1, TKeyRefusal::RootExpired},
    };
    for (const Case& c : cases)
        EXPECT_EQ(JudgeSigningKey(root, chain.Id(c.key), c.role, c.now).Refusal, c.expected) << c.why;

    EXPECT_EQ(HighestUnderEpoch(root, 1, 42), std::optional<uint64_t>(42)) << "same epoch";
    EXPECT_EQ(HighestUnderEpoch(root, 0, std::nullopt), std::optional<uint64_t>(0))
        << "raised epoch, floor 0";
}

}  // namespace root_cases
