#include <gtest/gtest.h>

#include "update/state/accepted_state_text.h"
#include "update/trust/manifest_rules.h"

namespace {

TSha256 Bytes(uint8_t fill) {
    TSha256 hash{};
    hash.fill(fill);
    return hash;
}

const std::string kOnes(64, '1');

template <class F>
std::string MessageOf(F&& step) {
    try {
        step();
    } catch (const TManifestError& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(AcceptedStateText, EncodesToTheDocumentedTextAndKeepsKindsItDoesNotKnow) {
    const TAcceptedRecord record = {{"manifest", TAcceptedSigning(1765400000, Bytes(0x11))},
                                    {"rollout", TAcceptedSigning(UINT64_MAX)}};
    const std::string text = EncodeAcceptedState(record);
    EXPECT_EQ(text, R"({"format":"aurevia-state/1","accepted":{"manifest":{"serial":1765400000,"sha256":")" +
                        kOnes + R"("},"rollout":{"serial":18446744073709551615}}})" + "\n");
    const TAcceptedRecord decoded = DecodeAcceptedState(text);
    ASSERT_EQ(decoded.size(), 2u);
    EXPECT_EQ(decoded.at("manifest").Serial, 1765400000u);
    EXPECT_EQ(decoded.at("manifest").Sha256, Bytes(0x11));
    EXPECT_EQ(decoded.at("rollout").Sha256, std::nullopt);

    // A later build's kind (and members) come back out as they went in, as far as this build knows them.
    const TAcceptedRecord later = DecodeAcceptedState(
        R"({"format":"aurevia-state/1","by":"x","accepted":{"root":{"serial":4,"epoch":2},"rollout":{"serial":9}}})");
    EXPECT_EQ(later.at("root").Serial, 4u);
    EXPECT_NE(EncodeAcceptedState(later).find(R"("root":{"serial":4})"), std::string::npos);
}

TEST(AcceptedStateText, RefusesWhatIsNotAState) {
    const struct {
        const char* what;
        std::string text;
        const char* message;
    } cases[] = {
        {"empty", "", "not JSON"},
        {"truncated", R"({"format":"aurevia-state/1","accepted":{"rollout":{"serial":)", "not JSON"},
        {"another format", R"({"format":"aurevia-rollout/1","accepted":{}})", "format is not"},
        {"no accepted", R"({"format":"aurevia-state/1"})", "lacks \"accepted\""},
        {"negative serial", R"({"format":"aurevia-state/1","accepted":{"rollout":{"serial":-1}}})",
         "unsigned \"serial\""},
        {"serial as text", R"({"format":"aurevia-state/1","accepted":{"rollout":{"serial":"9"}}})",
         "unsigned \"serial\""},
        {"no serial", R"({"format":"aurevia-state/1","accepted":{"rollout":{"sha256":")" + kOnes + R"("}}})",
         "lacks \"serial\""},
        {"short hash", R"({"format":"aurevia-state/1","accepted":{"rollout":{"serial":1,"sha256":"11"}}})",
         "64 hex digits"},
        {"kind twice",
         R"({"format":"aurevia-state/1","accepted":{"rollout":{"serial":1},"rollout":{"serial":9}}})",
         "given twice"},
        {"deployment not text", R"({"format":"aurevia-state/1","accepted":{},"deployment":7})",
         "\"deployment\" is not a string"},
        {"deployment not a name", R"({"format":"aurevia-state/1","accepted":{},"deployment":"prod ucao"})",
         "is not 1 to 64"},
        {"too large",
         R"({"format":"aurevia-state/1","accepted":{},"pad":")" + std::string(70000, 'x') + "\"}",
         "larger than"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_NE(MessageOf([&] { DecodeAcceptedState(c.text); }).find(c.message), std::string::npos)
            << MessageOf([&] { DecodeAcceptedState(c.text); });
    }
}

// The deployment the installation is bound to travels beside the kinds; a state without one (every
// state before the binding) reads as bound to none.
TEST(AcceptedStateText, KeepsTheDeploymentBesideTheAcceptedKinds) {
    const TAcceptedRecord record = {{"root", TAcceptedSigning(2, Bytes(0x11))}};
    const std::string text = EncodeAcceptedState(record, "producao");
    EXPECT_EQ(text, R"({"format":"aurevia-state/1","accepted":{"root":{"serial":2,"sha256":")" + kOnes +
                        R"("}},"deployment":"producao"})" + "\n");
    std::string deployment;
    EXPECT_EQ(DecodeAcceptedState(text, &deployment).at("root").Serial, 2u);
    EXPECT_EQ(deployment, "producao");
    deployment = "stale";
    DecodeAcceptedState(EncodeAcceptedState(record), &deployment);
    EXPECT_EQ(deployment, "");
    EXPECT_NE(MessageOf([&] { EncodeAcceptedState(record, "homolog/1"); }).find("is not 1 to 64"),
              std::string::npos);
}

// Two launchers of one installation may each write what they accepted: nothing either holds is lowered.
TEST(AcceptedStateText, MergeKeepsTheHigherSerialAndTheBytesFirstKnown) {
    const TAcceptedRecord kept = {{"manifest", TAcceptedSigning(10, Bytes(1))},
                                  {"rollout", TAcceptedSigning(20)},
                                  {"root", TAcceptedSigning(3)}};
    const TAcceptedRecord other = {{"manifest", TAcceptedSigning(9, Bytes(2))},
                                   {"rollout", TAcceptedSigning(20, Bytes(3))},
                                   {"later", TAcceptedSigning(1)}};
    const TAcceptedRecord merged = MergedAcceptedState(kept, other);
    EXPECT_EQ(merged.at("manifest").Serial, 10u);
    EXPECT_EQ(merged.at("manifest").Sha256, Bytes(1));
    EXPECT_EQ(merged.at("rollout").Sha256, Bytes(3));  // the serial's bytes were not known on disk
    EXPECT_EQ(merged.at("root").Serial, 3u);
    EXPECT_EQ(merged.at("later").Serial, 1u);
    EXPECT_EQ(MergedAcceptedState(kept, {{"manifest", TAcceptedSigning(10, Bytes(5))}}).at("manifest").Sha256,
              Bytes(1));
    EXPECT_EQ(MergedAcceptedState(kept, {{"manifest", TAcceptedSigning(11)}}).at("manifest").Sha256,
              std::nullopt);
}

}  // namespace
