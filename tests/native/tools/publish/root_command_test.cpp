// aurevia-publish root: setting up a root, rotating its keys, certifying and revoking signing keys;
// every refusal leaves the server as it was, byte for byte; and with a root in force, sign, publish
// and rollout sign only with a key it certifies, naming it and the product in what they sign.
#include <openssl/sha.h>

#include "release_control_fixture.h"
#include "update/trust/document_text.h"
#include "update/trust/root_document.h"

namespace publish_test {
namespace {

class RootCommandTest : public ReleaseControlTest {
  protected:
    void SetUp() override {
        ReleaseControlTest::SetUp();
        for (const char* name : {"r1", "r2", "r3", "r4", "r5", "other"}) {
            fs::create_directories(KeyFolder(name));
            ASSERT_EQ(RunTool({"keygen", "--out", KeyFolder(name).string()}).status, 0);
        }
    }

    fs::path KeyFolder(const std::string& name) const { return dir_ / ("key-" + name); }
    std::string Pub(const std::string& name) const {
        return name == "publisher" ? publicKey_.string() : (KeyFolder(name) / "publisher-key.pub").string();
    }
    std::string Pem(const std::string& name) const {
        return name == "publisher" ? privateKey_.string() : (KeyFolder(name) / "publisher-key.pem").string();
    }
    std::string Id(const std::string& name) const {
        const std::string der = SubjectPublicKeyInfoOf(DecodePublisherKey(ReadBytes(Pub(name))));
        TSha256 digest{};
        SHA256(reinterpret_cast<const unsigned char*>(der.data()), der.size(), digest.data());
        return document_text::HexOf(digest);
    }

    ToolResult Draft(const std::string& out, std::vector<std::string> more) {
        std::vector<std::string> arguments = {"root",  "draft", "--to",
                                              server_, "--out", (dir_ / out).string()};
        arguments.insert(arguments.end(), more.begin(), more.end());
        return RunTool(arguments);
    }
    void SignDraft(const std::string& draft, const std::vector<std::string>& signers) {
        for (const auto& signer : signers) {
            const ToolResult signing =
                RunTool({"root", "sign", "--draft", (dir_ / draft).string(), "--key", Pem(signer)});
            ASSERT_EQ(signing.status, 0) << signer << ": " << signing.output;
        }
    }
    ToolResult PublishDraft(const std::string& draft) {
        return RunTool({"root", "publish", "--draft", (dir_ / draft).string(), "--to", server_});
    }

    // Version 1: root keys r1-r3, threshold 2; the publisher's key certified for both roles.
    void SetUpRoot(std::vector<std::string> more = {}) {
        std::vector<std::string> arguments = {
            "--product", "aurevia",        "--add-root-key", Pub("r1"),         "--add-root-key",
            Pub("r2"),   "--add-root-key", Pub("r3"),        "--threshold",     "2",
            "--add-key", Pub("publisher"), "--roles",        "manifest,rollout"};
        arguments.insert(arguments.end(), more.begin(), more.end());
        ASSERT_EQ(Draft("v1", arguments).status, 0);
        SignDraft("v1", {"r1", "r3"});
        const ToolResult published = PublishDraft("v1");
        ASSERT_EQ(published.status, 0) << published.output;
    }
};

std::string Sha256Hex(const std::string& bytes) {
    TSha256 digest{};
    SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest.data());
    return document_text::HexOf(digest);
}

TEST_F(RootCommandTest, RootIsSetUpRotatedAndRevokesTheSigningKey) {
    SetUpRoot();
    const std::string raiz = "Raiz=" + Sha256Hex(ReadBytes(srv_ / "aurevia-root" / "1.json"));
    const ToolResult status = RunTool({"root", "status", "--to", server_});
    ASSERT_EQ(status.status, 0) << status.output;
    EXPECT_NE(status.output.find(raiz), std::string::npos) << status.output;
    EXPECT_NE(status.output.find(Id("r3") + "  signed"), std::string::npos) << status.output;
    EXPECT_EQ(status.output.find(Id("r2") + "  signed"), std::string::npos) << status.output;

    // The certified key signs, and every document names it and the product.
    ASSERT_EQ(Publish(ReleaseFolder("r1")).status, 0);
    ASSERT_EQ(Rollout("geral", "1", {"--flat"}).status, 0);
    EXPECT_EQ(ReadReleaseDocument(1).Key, Id("publisher"));
    EXPECT_EQ(ReadRolloutDocument().Product, "aurevia");
    EXPECT_EQ(ReadManifest(srv_).Key, Id("publisher"));

    // Version 2 replaces root key r2 by r4, and the publisher's key by r5 for releases and "other"
    // for rollouts.
    ASSERT_EQ(Draft("v2", {"--remove-root-key", Id("r2"), "--add-root-key", Pub("r4"), "--revoke",
                           Id("publisher"), "--add-key", Pub("r5"), "--roles", "manifest", "--add-key",
                           Pub("other"), "--roles", "rollout", "--new-epoch"})
                  .status,
              0);
    SignDraft("v2", {"r1", "r2", "r4"});  // r2 counts for version 1, r4 for version 2
    const ToolResult second = PublishDraft("v2");
    ASSERT_EQ(second.status, 0) << second.output;
    EXPECT_NE(second.output.find("Raiz=" + Sha256Hex(ReadBytes(srv_ / "aurevia-root" / "2.json"))),
              std::string::npos);
    const TRootDocument two = DecodeRootDocument(ReadBytes(srv_ / "aurevia-root" / "2.json"));
    EXPECT_EQ(two.Epoch, 1u);

    auto refusedUnchanged = [&](const std::string& key, const char* why,
                                const std::vector<std::string>& command) {
        key_ = Pem(key);
        const auto before = TreeState(srv_);
        std::vector<std::string> arguments = command;
        for (auto& argument : arguments) {
            if (argument == "KEY") argument = key_;
        }
        const ToolResult refused = RunTool(arguments);
        EXPECT_EQ(refused.status, 10) << why << ": " << refused.output;
        EXPECT_EQ(TreeState(srv_), before) << why;
    };
    const std::string r2 = ReleaseFolder("r2", {{"gds32.dll", "client 2"}}).string();
    refusedUnchanged("publisher", "revoked, publishing",
                     {"publish", "--from", r2, "--to", server_, "--key", "KEY"});
    refusedUnchanged("publisher", "revoked, signing the flat folder",
                     {"sign", "--folder", server_, "--key", "KEY"});
    refusedUnchanged("other", "a rollout key publishing",
                     {"publish", "--from", r2, "--to", server_, "--key", "KEY"});
    refusedUnchanged("other", "--flat signs a manifest too",
                     {"rollout", "--to", server_, "--key", "KEY", "--ring", "geral", "--release", "1",
                      "--flat", "--adopt"});
    refusedUnchanged(
        "other", "a release signed by the revoked key",
        {"rollout", "--to", server_, "--key", "KEY", "--ring", "geral", "--release", "1", "--adopt"});

    key_ = Pem("r5");
    ASSERT_EQ(Publish(r2).status, 0);
    key_ = Pem("other");
    const ToolResult rollout = Rollout("geral", "2", {"--adopt"});
    ASSERT_EQ(rollout.status, 0) << rollout.output;
    EXPECT_EQ(ReadRolloutDocument().Key, Id("other"));
    EXPECT_EQ(ReadReleaseDocument(2).Key, Id("r5"));
}

// Staging and production share the root and the signing key: each folder names its own deployment
// in everything it signs, and production refuses to roll out staging's release copied into it.
TEST_F(RootCommandTest, EveryDocumentNamesItsFoldersDeploymentAndACopiedReleaseIsNotRolledOut) {
    // Without a root nothing changes: no deployment is kept or named.
    ASSERT_EQ(Publish(ReleaseFolder("r1")).status, 0);
    EXPECT_FALSE(fs::exists(srv_ / "aurevia-deployment"));
    EXPECT_EQ(ReadBytes(srv_ / "aurevia-releases" / "1.json").find("deployment"), std::string::npos);

    SetUpRoot();
    const fs::path staging = dir_ / "staging";
    fs::create_directories(staging);
    fs::copy(srv_ / "aurevia-root", staging / "aurevia-root");
    const std::string production = server_;

    // Production is named on its first signing under the root; staging gets a made-up name.
    const ToolResult named =
        RunTool({"publish", "--from", ReleaseFolder("r2", {{"gds32.dll", "client 2"}}).string(), "--to",
                 server_, "--key", key_, "--deployment", "producao"});
    ASSERT_EQ(named.status, 0) << named.output;
    EXPECT_NE(named.output.find("deployment producao"), std::string::npos) << named.output;
    EXPECT_EQ(ReadBytes(srv_ / "aurevia-deployment"), "producao\n");
    EXPECT_EQ(ReadReleaseDocument(2).Deployment, "producao");
    server_ = staging.string();
    for (const char* name : {"s1", "s2", "s3"})
        ASSERT_EQ(Publish(ReleaseFolder(name, {{"Admissao.exe", std::string("staging ") + name}})).status, 0);
    std::string made = ReadBytes(staging / "aurevia-deployment");
    ASSERT_EQ(made.size(), std::string("deployment-").size() + 12 + 1) << made;
    made.pop_back();
    EXPECT_EQ(made.rfind("deployment-", 0), 0u) << made;
    EXPECT_EQ(DecodeRelease(ReadBytes(staging / "aurevia-releases" / "3.json")).Deployment, made);
    server_ = production;

    // Staging's release 3 and its objects copied into production's folder.
    fs::copy(staging / "aurevia-releases" / "3.json", srv_ / "aurevia-releases" / "3.json");
    fs::copy(staging / "aurevia-releases" / "3.sig", srv_ / "aurevia-releases" / "3.sig");
    fs::copy(staging / "aurevia-objects", srv_ / "aurevia-objects",
             fs::copy_options::recursive | fs::copy_options::skip_existing);
    auto before = TreeState(srv_);
    const ToolResult copied = Rollout("geral", "3");
    EXPECT_EQ(copied.status, 1) << copied.output;
    EXPECT_NE(copied.output.find("published for the deployment " + made +
                                 ", this server folder publishes for producao"),
              std::string::npos)
        << copied.output;
    EXPECT_EQ(TreeState(srv_), before);

    // Another name for a named folder is refused before anything is written.
    const ToolResult renamed = RunTool({"rollout", "--to", server_, "--key", key_, "--ring", "geral",
                                        "--release", "2", "--flat", "--deployment", "homologacao"});
    EXPECT_EQ(renamed.status, 2) << renamed.output;
    EXPECT_NE(renamed.output.find("publishes for the deployment producao, not homologacao"),
              std::string::npos)
        << renamed.output;
    EXPECT_EQ(TreeState(srv_), before);

    const ToolResult rollout = Rollout("geral", "2", {"--flat"});
    ASSERT_EQ(rollout.status, 0) << rollout.output;
    EXPECT_EQ(ReadRolloutDocument().Deployment, "producao");
    const TReleaseManifest flat = ReadManifest(srv_);
    EXPECT_EQ(flat.Deployment, "producao");
    EXPECT_EQ(FindManifestFile(flat, "aurevia-deployment"), nullptr)
        << "the folder's name is not a module file";
    const ToolResult status = RunTool({"root", "status", "--to", server_});
    EXPECT_NE(status.output.find("Deployment of this server folder: producao"), std::string::npos)
        << status.output;
}

TEST_F(RootCommandTest, RefusedDraftsChangeNothingOnTheServer) {
    SetUpRoot();
    // Each row signs a draft of its own: signatures gathered for one row must not help another.
    for (const char* draft : {"rotated-a", "rotated-b", "rotated-c"}) {
        ASSERT_EQ(
            Draft(draft, {"--remove-root-key", Id("r1"), "--remove-root-key", Id("r2"), "--remove-root-key",
                          Id("r3"), "--add-root-key", Pub("r4"), "--add-root-key", Pub("r5")})
                .status,
            0);
    }
    ASSERT_EQ(Draft("plain", {}).status, 0);
    ASSERT_EQ(Draft("expired", {}).status, 0);
    SignDraft("expired", {"r1", "r2"});
    std::string expired = ReadBytes(dir_ / "expired" / "root.json");
    const size_t at = expired.find("\"expires\":\"") + 11;
    expired.replace(at, 4, "2020");
    fs::permissions(dir_ / "expired" / "root.json", fs::perms::owner_write, fs::perm_options::add);
    WriteBytes(dir_ / "expired" / "root.json", expired);

    struct Case {
        const char* why;
        std::string draft;
        std::vector<std::string> signers;
        int status;
        const char* message;
    };
    const Case cases[] = {
        {"no threshold of the version in force", "plain", {"r1"}, 11, "1 root keys of version 1, 2 needed"},
        {"rotated, without the new keys' threshold",
         "rotated-a",
         {"r1", "r2", "r4"},
         11,
         "of its own root keys"},
        {"rotated, without the old keys' threshold", "rotated-b", {"r4", "r5"}, 11, "root keys of version 1"},
        {"an expired draft", "expired", {}, 7, "expired"},
    };
    for (const Case& c : cases) {
        SignDraft(c.draft, c.signers);
        const auto before = TreeState(srv_);
        const ToolResult refused = PublishDraft(c.draft);
        EXPECT_EQ(refused.status, c.status) << c.why << ": " << refused.output;
        EXPECT_NE(refused.output.find(c.message), std::string::npos) << c.why << ": " << refused.output;
        EXPECT_EQ(TreeState(srv_), before) << c.why;
    }

    // A key that is no root key of the draft or of version 1 cannot sign it: the draft is unchanged.
    const auto draftBefore = TreeState(dir_ / "plain");
    const ToolResult unknown =
        RunTool({"root", "sign", "--draft", (dir_ / "plain").string(), "--key", Pem("other")});
    EXPECT_EQ(unknown.status, 10) << unknown.output;
    EXPECT_EQ(TreeState(dir_ / "plain"), draftBefore);

    // Once version 2 is out, a second draft of version 2 is stale.
    SignDraft("plain", {"r2"});
    ASSERT_EQ(PublishDraft("plain").status, 0);
    SignDraft("rotated-c", {"r1", "r2", "r4", "r5"});
    const auto before = TreeState(srv_);
    const ToolResult stale = PublishDraft("rotated-c");
    EXPECT_EQ(stale.status, 11) << stale.output;
    EXPECT_NE(stale.output.find("replayed"), std::string::npos) << stale.output;
    EXPECT_EQ(TreeState(srv_), before);
}

TEST_F(RootCommandTest, FirstRootCarriesThePublisherKeysSignatureForMigration) {
    ASSERT_EQ(Draft("v1", {"--product", "aurevia", "--add-root-key", Pub("r1"), "--add-key", Pub("other"),
                           "--roles", "manifest,rollout", "--migrate-from", Pub("publisher")})
                  .status,
              0);
    SignDraft("v1", {"r1"});
    const auto before = TreeState(srv_);
    const ToolResult unsignedByPublisher = PublishDraft("v1");
    EXPECT_EQ(unsignedByPublisher.status, 11) << unsignedByPublisher.output;
    EXPECT_EQ(TreeState(srv_), before);
    SignDraft("v1", {"publisher"});
    const ToolResult migrated = PublishDraft("v1");
    ASSERT_EQ(migrated.status, 0) << migrated.output;
    // From now on the old key is no signing key: only what the root certifies signs.
    EXPECT_EQ(Publish(ReleaseFolder("r1")).status, 10);
}

TEST_F(RootCommandTest, WithoutARootEveryCommandSignsAsBefore) {
    ASSERT_EQ(Publish(ReleaseFolder("r1")).status, 0);
    ASSERT_EQ(Rollout("geral", "1", {"--flat"}).status, 0);
    EXPECT_EQ(ReadBytes(srv_ / "aurevia-releases" / "1.json").find("\"key\""), std::string::npos);
    EXPECT_EQ(ReadBytes(srv_ / "aurevia-rollout.json").find("\"product\""), std::string::npos);
    const ToolResult status = RunTool({"root", "status", "--to", server_});
    EXPECT_EQ(status.status, 0);
    EXPECT_NE(status.output.find("No root"), std::string::npos) << status.output;
}

}  // namespace
}  // namespace publish_test
