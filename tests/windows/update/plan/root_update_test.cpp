// The workstation following the trust root, tried through the one resolver over a real server
// folder: root versions signed by two of three root keys, documents signed by the keys a version
// certifies (or by keys it does not), and one installation's state file carried from step to step.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../updater/verified_update_run.h"
#include "base/string_convert.h"
#include "support/temp_folder.h"
#include "support/test_files.h"
#include "support/test_publisher.h"
#include "update/plan/release_plan.h"
#include "update/source/folder_source.h"
#include "update/state/accepted_state.h"
#include "update/trust/cng_signature_check.h"
#include "update/trust/document_text.h"
#include "update/trust/root_rules.h"

namespace {

const int64_t kDay = 86400;
constexpr uint8_t kManifestRole = static_cast<uint8_t>(TKeyRole::Manifest);
constexpr uint8_t kRolloutRole = static_cast<uint8_t>(TKeyRole::Rollout);
constexpr uint8_t kBothRoles = kManifestRole | kRolloutRole;
constexpr uint64_t kStolenSerial = uint64_t{1} << 62;

TPublicPoint PointOf(const TestPublisher& AKey) {
    return DecodePublisherKey(WideToUtf8(AKey.PublicKeyText()));
}

// One server folder with its root keys and signing keys, and one workstation's program folder.
struct RootServer {
    TempFolder server;
    TempFolder local;
    SerialKey serialKey;
    TCngSignatureCheck check;
    TestPublisher rootKeys[3];
    TestPublisher signers[3];    // A, B, C
    TestPublisher publisherKey;  // the one key of workstations before roots
    TUpdateVerification verification;
    std::shared_ptr<void> heldOpen;  // a file of the server held without sharing, while set

    RootServer() {
        verification.SerialKey = serialKey.Path();
        verification.StateFile = local.Path() + kAcceptedStateFileName;
    }

    std::string Id(const TestPublisher& AKey) const {
        return document_text::HexOf(KeyIdOf(check, PointOf(AKey)));
    }

    TSigningKey Certified(size_t ASigner, uint8_t ARoles = kBothRoles,
                          int64_t ANotAfter = UnixNowPlus(30 * kDay)) const {
        const TPublicPoint point = PointOf(signers[ASigner]);
        return {KeyIdOf(check, point), point, ARoles, UnixNowPlus(-30 * kDay), ANotAfter};
    }

    TRootDocument Root(uint64_t AVersion, std::vector<TSigningKey> AKeys, uint64_t AEpoch = 0) const {
        TRootDocument root;
        root.Product = "aurevia";
        root.Version = AVersion;
        root.ExpiresUnix = UnixNowPlus(365 * kDay);
        root.Epoch = AEpoch;
        root.Threshold = 2;
        for (const TestPublisher& key : rootKeys) {
            const TPublicPoint point = PointOf(key);
            root.RootKeys.push_back({KeyIdOf(check, point), point});
        }
        root.SigningKeys = std::move(AKeys);
        return root;
    }

    // Signed by root keys 0 and 1 (and by the single publisher key, for the migration); returns the
    // line for Raiz.
    std::string PublishRoot(const TRootDocument& ARoot, bool AAlsoPublisherKey = false) const {
        return PublishRootBytes(ARoot.Version, EncodeRootDocument(ARoot), AAlsoPublisherKey);
    }
    std::string PublishRootBytes(uint64_t AVersion, const std::string& bytes,
                                 bool AAlsoPublisherKey = false) const {
        std::vector<TRootSignature> signatures;
        for (const size_t key : {0u, 1u})
            signatures.push_back({KeyIdOf(check, PointOf(rootKeys[key])), rootKeys[key].Sign(bytes)});
        if (AAlsoPublisherKey)
            signatures.push_back({KeyIdOf(check, PointOf(publisherKey)), publisherKey.Sign(bytes)});
        WriteRoot(AVersion, bytes, EncodeRootSignatures(signatures));
        return document_text::HexOf(OneShotSha256(bytes));
    }
    void WriteRoot(uint64_t AVersion, const std::string& ABytes, const std::string& ASignatures) const {
        WriteWholeFile(server.Path() + Utf8ToWide(RootDocumentPath(AVersion)), ABytes);
        WriteWholeFile(server.Path() + Utf8ToWide(RootSignaturesPath(AVersion)), ASignatures);
    }
    void RemoveRoot(uint64_t AVersion) const {
        DeleteFileW((server.Path() + Utf8ToWide(RootDocumentPath(AVersion))).c_str());
        DeleteFileW((server.Path() + Utf8ToWide(RootSignaturesPath(AVersion))).c_str());
    }

    // The flat folder's manifest, signed by AKey and naming it (and the product and deployment) as the
    // publisher does.
    void PublishManifest(const TestPublisher& AKey, uint64_t ASerial, std::string AProduct = "aurevia",
                         bool ANamesKey = true, std::string ADeployment = "producao") const {
        TReleaseManifest manifest{
            ASerial, UnixNowPlus(30 * kDay), {TestPublisher::Entry("Admission.exe", "a")}};
        if (ANamesKey) manifest.Key = Id(AKey);
        manifest.Product = std::move(AProduct);
        manifest.Deployment = std::move(ADeployment);
        AKey.Publish(server.Path(), manifest);
    }

    // A rollout document signed by ARolloutKey assigning release 1, signed by AReleaseKey, each
    // published for a deployment.
    void PublishRollout(const TestPublisher& ARolloutKey, const TestPublisher& AReleaseKey, uint64_t ASerial,
                        std::string ARolloutDeployment = "producao",
                        std::string AReleaseDeployment = "producao") const {
        TRelease release{
            1, UnixNowPlus(0), "", {}, Id(AReleaseKey), "aurevia", std::move(AReleaseDeployment)};
        release.Files.push_back(TReleaseFile{"Admission.exe", 1, OneShotSha256("a"), UnixNowPlus(-kDay), {}});
        const std::string releaseBytes = EncodeRelease(release);
        const std::wstring base = server.Path() + Utf8ToWide(kReleasesFolderName) + L"\\1";
        WriteWholeFile(base + L".json", releaseBytes);
        WriteWholeFile(base + L".sig", AReleaseKey.Sign(releaseBytes));
        TRollout rollout{ASerial,
                         UnixNowPlus(30 * kDay),
                         {TRingAssignment{"geral", 1, std::nullopt, 100}},
                         Id(ARolloutKey),
                         "aurevia",
                         std::move(ARolloutDeployment)};
        const std::string bytes = EncodeRollout(rollout);
        WriteWholeFile(server.Path() + Utf8ToWide(kRolloutFileName), bytes);
        WriteWholeFile(server.Path() + Utf8ToWide(kRolloutSignatureFileName), ARolloutKey.Sign(bytes));
    }

    TReleasePlan Plan() const {
        TFolderSource source(server.Path());
        return PlanRelease(verification, source);
    }
    std::optional<TAcceptedSigning> Held(TAcceptedDocument ADocument) const {
        return TAcceptedState(verification.StateFile, verification.SerialKey).Accepted(ADocument);
    }
};

// The outcome of one step: accepted, or refused for this reason with these words in the detail.
struct Expect {
    TRefusal refusal;
    std::vector<std::string> detail = {};
};

void Check(const RootServer& AServer, const Expect& AExpect, const char* AStep) {
    const TReleasePlan plan = AServer.Plan();
    EXPECT_EQ(plan.Refusal(), AExpect.refusal) << AStep << ": " << plan.Detail();
    for (const std::string& words : AExpect.detail)
        EXPECT_NE(plan.Detail().find(words), std::string::npos)
            << AStep << ": \"" << plan.Detail() << "\" lacks \"" << words << "\"";
    if (AExpect.refusal == TRefusal::None) {
        EXPECT_TRUE(plan.Verified() && plan.Find(L"Admission.exe")) << AStep;
    }
}

struct Step {
    const char* what;
    std::function<void(RootServer&)> publish;
    Expect expect;
};

struct Row {
    const char* attack;
    std::vector<Step> steps;
};

class WorkstationFollowsTheRoot : public ::testing::TestWithParam<Row> {};

TEST_P(WorkstationFollowsTheRoot, AcceptsOnlyWhatTheNewestRootCertifies) {
    RootServer s;
    for (const Step& step : GetParam().steps) {
        step.publish(s);
        Check(s, step.expect, step.what);
    }
}

// Each row starts from root version 1 anchored by Raiz (unless it migrates), certifying A.
void AnchoredAt1(RootServer& s, std::vector<TSigningKey> AKeys) {
    s.verification.RootAnchor = s.PublishRoot(s.Root(1, std::move(AKeys)));
}

const Row kRows[] = {
    {"a document signed by a key the root does not list",
     {{"C signs",
       [](RootServer& s) {
           AnchoredAt1(s, {s.Certified(0)});
           s.PublishManifest(s.signers[2], 1765400001);
       },
       {TRefusal::BadSignature, {"não certificada", "raiz versão 1"}}},
      {"A signs", [](RootServer& s) { s.PublishManifest(s.signers[0], 1765400002); }, {TRefusal::None}}}},
    {"a key past its not-after",
     {{"A's window ended",
       [](RootServer& s) {
           AnchoredAt1(s, {s.Certified(0, kBothRoles, UnixNowPlus(-kDay))});
           s.PublishManifest(s.signers[0], 1765400001);
       },
       {TRefusal::BadSignature, {"not_after", "raiz versão 1"}}}}},
    {"a key revoked in N+1 once N+1 was seen",
     {{"A under 1",
       [](RootServer& s) {
           AnchoredAt1(s, {s.Certified(0), s.Certified(1)});
           s.PublishManifest(s.signers[0], 1765400001);
       },
       {TRefusal::None}},
      {"2 revokes A",
       [](RootServer& s) {
           s.PublishRoot(s.Root(2, {s.Certified(1)}));
           s.PublishManifest(s.signers[0], 1765400002);
       },
       {TRefusal::BadSignature, {"raiz versão 2"}}},
      {"B signs", [](RootServer& s) { s.PublishManifest(s.signers[1], 1765400003); }, {TRefusal::None}},
      {"the server hides 2 again",
       [](RootServer& s) {
           s.RemoveRoot(2);
           s.PublishManifest(s.signers[0], 1765400004);
       },
       {TRefusal::MissingManifest, {"aurevia-root"}}}}},
    {"a manifest key signing a rollout document",
     {{"A (manifest) signs the rollout document",
       [](RootServer& s) {
           AnchoredAt1(s, {s.Certified(0, kManifestRole), s.Certified(1, kRolloutRole)});
           s.PublishRollout(s.signers[0], s.signers[0], 1765400001);
       },
       {TRefusal::BadSignature, {"for this role", "raiz versão 1"}}},
      {"B (rollout) signs it, A the release",
       [](RootServer& s) { s.PublishRollout(s.signers[1], s.signers[0], 1765400002); },
       {TRefusal::None}},
      {"B (rollout) signs the release too",
       [](RootServer& s) { s.PublishRollout(s.signers[1], s.signers[1], 1765400003); },
       {TRefusal::BadSignature, {"raiz versão 1"}}}}},
    {"a document for another product",
     {{"signed by A for the test server",
       [](RootServer& s) {
           AnchoredAt1(s, {s.Certified(0)});
           s.PublishManifest(s.signers[0], 1765400001, "aurevia-teste");
       },
       {TRefusal::BadSignature, {"aurevia-teste"}}},
      {"a document that does not name its key",
       [](RootServer& s) { s.PublishManifest(s.signers[0], 1765400002, "aurevia", false); },
       {TRefusal::BadSignature, {"nenhuma"}}}}},
    {"a release and a rollout document copied from a deployment that shares the keys",
     {{"production's documents",
       [](RootServer& s) {
           AnchoredAt1(s, {s.Certified(0)});
           s.PublishRollout(s.signers[0], s.signers[0], 1765400001);
       },
       {TRefusal::None}},
      {"staging's release 1 copied over production's",
       [](RootServer& s) {
           EXPECT_EQ(TAcceptedState(s.verification.StateFile).Deployment(), "producao")
               << "bound by the first";
           s.PublishRollout(s.signers[0], s.signers[0], 1765400002, "producao", "homologacao");
       },
       {TRefusal::BadSignature, {"\"homologacao\"", "\"producao\"", "raiz versão 1"}}},
      {"staging's rollout document too, under a higher serial",
       [](RootServer& s) {
           s.PublishRollout(s.signers[0], s.signers[0], 1765400003, "homologacao", "homologacao");
       },
       {TRefusal::BadSignature, {"\"homologacao\"", "\"producao\""}}},
      {"production's documents again",
       [](RootServer& s) { s.PublishRollout(s.signers[0], s.signers[0], 1765400005); },
       {TRefusal::None}}}},
    {"a flat folder copied from a deployment that shares the keys",
     {{"production's manifest",
       [](RootServer& s) {
           AnchoredAt1(s, {s.Certified(0)});
           s.PublishManifest(s.signers[0], 1765400001);
       },
       {TRefusal::None}},
      {"staging's, under a higher serial",
       [](RootServer& s) { s.PublishManifest(s.signers[0], 1765400002, "aurevia", true, "homologacao"); },
       {TRefusal::BadSignature, {"\"homologacao\"", "\"producao\""}}}}},
    {"a workstation whose Implantacao is set, served another deployment's first",
     {{"staging's flat manifest",
       [](RootServer& s) {
           AnchoredAt1(s, {s.Certified(0)});
           s.verification.Deployment = "producao";
           s.PublishManifest(s.signers[0], 1765400001, "aurevia", true, "homologacao");
       },
       {TRefusal::BadSignature, {"\"homologacao\"", "\"producao\""}}},
      {"a document of an earlier publisher under the root, naming no deployment",
       [](RootServer& s) { s.PublishManifest(s.signers[0], 1765400002, "aurevia", true, ""); },
       {TRefusal::BadSignature, {"não nomeia a implantação"}}},
      {"production's", [](RootServer& s) { s.PublishManifest(s.signers[0], 1765400003); }, {TRefusal::None}},
      {"the setting governs and is not copied into the state",
       [](RootServer& s) {
           EXPECT_EQ(TAcceptedState(s.verification.StateFile).Deployment(), "");
           s.verification.Deployment = "homologacao";
           s.PublishManifest(s.signers[0], 1765400004, "aurevia", true, "homologacao");
       },
       {TRefusal::None}}}},
    {"an expired root with no newer one",
     {{"root 1 expired yesterday",
       [](RootServer& s) {
           TRootDocument root = s.Root(1, {s.Certified(0)});
           root.ExpiresUnix = UnixNowPlus(-kDay);
           s.verification.RootAnchor = s.PublishRoot(root);
           s.PublishManifest(s.signers[0], 1765400001);
       },
       {TRefusal::Expired}}}},
    {"an older root version replayed after a newer one was accepted",
     {{"2 accepted",
       [](RootServer& s) {
           AnchoredAt1(s, {s.Certified(0), s.Certified(1)});
           s.PublishRoot(s.Root(2, {s.Certified(1)}));
           s.PublishManifest(s.signers[1], 1765400001);
       },
       {TRefusal::None}},
      {"version 1 served as version 3",
       [](RootServer& s) {
           const std::wstring one = s.server.Path() + Utf8ToWide(RootDocumentPath(1));
           s.WriteRoot(3, ReadWholeFile(one),
                       ReadWholeFile(s.server.Path() + Utf8ToWide(RootSignaturesPath(1))));
           s.PublishManifest(s.signers[0], 1765400002);
       },
       {TRefusal::OlderRelease, {"raiz"}}}}},
    {"a workstation offline across three versions",
     {{"A under 1",
       [](RootServer& s) {
           AnchoredAt1(s, {s.Certified(0)});
           s.PublishManifest(s.signers[0], 1765400001);
       },
       {TRefusal::None}},
      {"2 adds B, 3 revokes A, 4 adds C; A signs",
       [](RootServer& s) {
           s.PublishRoot(s.Root(2, {s.Certified(0), s.Certified(1)}));
           s.PublishRoot(s.Root(3, {s.Certified(1)}));
           s.PublishRoot(s.Root(4, {s.Certified(1), s.Certified(2)}));
           s.PublishManifest(s.signers[0], 1765400002);
       },
       {TRefusal::BadSignature, {"raiz versão 4"}}},
      {"C signs",
       [](RootServer& s) {
           EXPECT_EQ(s.Held(TAcceptedDocument::Root)->Serial, 4u) << "caught up in one update";
           s.PublishManifest(s.signers[2], 1765400003);
       },
       {TRefusal::None}}}},
    {"a stolen key's serial 2^62, then a new epoch",
     {{"the thief signs 2^62 with A",
       [](RootServer& s) {
           AnchoredAt1(s, {s.Certified(0), s.Certified(1)});
           s.PublishManifest(s.signers[0], kStolenSerial);
       },
       {TRefusal::None}},
      {"the honest serial is frozen out",
       [](RootServer& s) { s.PublishManifest(s.signers[1], 1765400002); },
       {TRefusal::OlderRelease}},
      {"2 revokes A and moves the epoch",
       [](RootServer& s) { s.PublishRoot(s.Root(2, {s.Certified(1)}, 1)); },
       {TRefusal::None}},
      {"the thief's document again",
       [](RootServer& s) { s.PublishManifest(s.signers[0], kStolenSerial); },
       {TRefusal::BadSignature, {"raiz versão 2"}}},
      {"an honest serial below the last accepted in the epoch",
       [](RootServer& s) { s.PublishManifest(s.signers[1], 1765400001); },
       {TRefusal::OlderRelease}}}},
    {"the migration from Chave Publica",
     {{"before any root, the one key signs",
       [](RootServer& s) {
           s.verification.PublisherKey = s.publisherKey.PublicKeyText();
           s.PublishManifest(s.publisherKey, 1765400001, "", false);
       },
       {TRefusal::None}},
      {"a root the key did not sign changes nothing",
       [](RootServer& s) {
           s.PublishRoot(s.Root(1, {s.Certified(0)}));
           s.PublishManifest(s.signers[0], 1765400002);
       },
       {TRefusal::BadSignature}},
      {"version 1 signed by the key too: A is trusted",
       [](RootServer& s) {
           s.PublishRoot(s.Root(1, {s.Certified(0)}), true);
           s.PublishManifest(s.signers[0], 1765400003);
       },
       {TRefusal::None}},
      {"and the one key no longer is",
       [](RootServer& s) {
           EXPECT_EQ(s.Held(TAcceptedDocument::Root)->Serial, 1u);
           s.PublishManifest(s.publisherKey, 1765400004, "", false);
       },
       {TRefusal::BadSignature, {"não certificada"}}}}},
    {"a next version past the size cap, which revokes the key that signs",
     {{"2 revokes A and is padded past the cap",
       [](RootServer& s) {
           AnchoredAt1(s, {s.Certified(0), s.Certified(1)});
           s.PublishRootBytes(
               2, EncodeRootDocument(s.Root(2, {s.Certified(1)})) + std::string(kMostRootDocumentSize, ' '));
           s.PublishManifest(s.signers[0], 1765400001);
       },
       {TRefusal::MissingManifest, {"raiz", "aurevia-root/2.json", "larger than"}}}}},
    {"a next version that revokes the key that signs, and cannot be read",
     {{"2 revokes A and is held open without sharing",
       [](RootServer& s) {
           AnchoredAt1(s, {s.Certified(0), s.Certified(1)});
           s.PublishRoot(s.Root(2, {s.Certified(1)}));
           const std::wstring two = s.server.Path() + Utf8ToWide(RootDocumentPath(2));
           HANDLE held = CreateFileW(two.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
           ASSERT_NE(held, INVALID_HANDLE_VALUE);
           s.heldOpen.reset(held, CloseHandle);
           s.PublishManifest(s.signers[0], 1765400001);
       },
       {TRefusal::MissingManifest, {"raiz", "aurevia-root/2.json"}}},
      {"2 without its signatures",
       [](RootServer& s) {
           s.heldOpen.reset();
           DeleteFileW((s.server.Path() + Utf8ToWide(RootSignaturesPath(2))).c_str());
       },
       {TRefusal::MissingManifest, {"raiz", "aurevia-root/2"}}},
      {"2 readable whole",
       [](RootServer& s) { s.PublishRoot(s.Root(2, {s.Certified(1)})); },
       {TRefusal::BadSignature, {"raiz versão 2"}}}}},
    {"a Raiz the server does not hold",
     {{"anchored to another document",
       [](RootServer& s) {
           s.PublishRoot(s.Root(1, {s.Certified(0)}));
           s.verification.RootAnchor = std::string(64, 'a');
           s.PublishManifest(s.signers[0], 1765400001);
       },
       {TRefusal::MissingManifest, {"aaaaaaaaaaaaaaaa"}}}}},
};

INSTANTIATE_TEST_SUITE_P(Attacks, WorkstationFollowsTheRoot, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& AInfo) {
                             return "row" + std::to_string(AInfo.index);
                         });

}  // namespace
