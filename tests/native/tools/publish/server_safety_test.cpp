// What the server holds that the tool must not take on trust: release names, stored objects, the
// clock against the server's newest signing, the leftovers of stopped commands, and documents
// signed by a key that was replaced.
#include <cstdlib>

#include "release_control_fixture.h"

namespace publish_test {
namespace {

constexpr char kClockBack[] = "NO_FAKE_STAT=1 timeout 60 faketime -f -400d";

bool FaketimeRuns() { return std::system("timeout 10 faketime -f -400d /bin/true >/dev/null 2>&1") == 0; }

std::string LastLine(const std::string& output) {
    const size_t end = output.find_last_not_of('\n');
    const size_t start = output.rfind('\n', end);
    return output.substr(start == std::string::npos ? 0 : start + 1,
                         end - (start == std::string::npos ? 0 : start + 1) + 1);
}

TEST_F(ReleaseControlTest, ReleaseSerialFollowsVerifiedReleasesOnly) {
    ASSERT_EQ(Publish(ReleaseFolder("r1")).status, 0);
    const fs::path releases = srv_ / "aurevia-releases";
    std::string planted = ReadBytes(releases / "1.json");
    planted.replace(planted.find("\"serial\":1"), 10, "\"serial\":18446744073709551615");
    WriteBytes(releases / "18446744073709551615.json", planted);
    WriteBytes(releases / "18446744073709551615.sig", std::string(64, 'x'));
    WriteBytes(releases / "2.json", ReadBytes(releases / "1.json"));  // unsigned, and the name is taken

    const ToolResult second = Publish(ReleaseFolder("r2", {{"Admissao.exe", "admissao 2"}}));
    ASSERT_EQ(second.status, 0) << second.output;
    EXPECT_EQ(LastLine(second.output), "3");
    EXPECT_NE(second.output.find("not followed"), std::string::npos) << second.output;
    EXPECT_EQ(ReadBytes(releases / "2.json"),
              ReadBytes(releases / "1.json"));  // a taken name is not overwritten
    const ToolResult rollout = Rollout("geral", "3");
    EXPECT_EQ(rollout.status, 0) << rollout.output;
}

TEST_F(ReleaseControlTest, DamagedObjectIsRefusedByRolloutAndReplacedByPublish) {
    const fs::path r1 = ReleaseFolder("r1");
    ASSERT_EQ(Publish(r1).status, 0);
    const fs::path object = srv_ / ObjectPath(ReadReleaseDocument(1).Files[0].Sha256);
    const std::string good = ReadBytes(object);
    std::string damaged = good;
    damaged[0] ^= 1;  // the same size: only its content tells
    WriteBytes(object, damaged);

    for (const auto& more : {std::vector<std::string>{}, std::vector<std::string>{"--flat"}}) {
        const auto before = TreeState(srv_);
        const ToolResult refused = Rollout("geral", "1", more);
        EXPECT_EQ(refused.status, 1) << refused.output;
        EXPECT_NE(refused.output.find("is missing or damaged"), std::string::npos) << refused.output;
        EXPECT_EQ(TreeState(srv_), before);
    }

    const ToolResult again = Publish(r1);
    ASSERT_EQ(again.status, 0) << again.output;
    EXPECT_NE(again.output.find("1 damaged objects replaced"), std::string::npos) << again.output;
    EXPECT_EQ(ReadBytes(object), good);
    const ToolResult rollout = Rollout("geral", "2", {"--flat"});
    EXPECT_EQ(rollout.status, 0) << rollout.output;
}

// A machine whose clock went 400 days back would sign documents that expired long ago.
TEST_F(ReleaseControlTest, ClockBehindTheServerIsRefusedUnlessForced) {
    if (!FaketimeRuns()) GTEST_SKIP() << "faketime cannot run here";
    ASSERT_EQ(Publish(ReleaseFolder("r1")).status, 0);
    ASSERT_EQ(Rollout("geral", "1", {"--flat"}).status, 0);
    const std::string r2 = ReleaseFolder("r2", {{"Admissao.exe", "admissao 2"}}).string();
    const std::vector<std::vector<std::string>> commands = {
        {"publish", "--from", r2, "--to", server_, "--key", key_},
        {"rollout", "--to", server_, "--key", key_, "--ring", "geral", "--release", "1"},
        {"rollout", "--to", server_, "--key", key_, "--ring", "geral", "--release", "1", "--flat"},
        {"sign", "--folder", server_, "--key", key_},
    };
    const auto before = TreeState(srv_);
    for (const auto& arguments : commands) {
        SCOPED_TRACE(arguments[0] + " " + arguments.back());
        const ToolResult refused = RunTool(arguments, kClockBack, AUREVIA_PUBLISH_UNSANITISED);
        EXPECT_EQ(refused.status, 1) << refused.output;
        EXPECT_NE(refused.output.find("the clock is behind"), std::string::npos) << refused.output;
        EXPECT_EQ(TreeState(srv_), before);
    }
    std::vector<std::string> forced = commands[1];
    forced.push_back("--force");
    const ToolResult result = RunTool(forced, kClockBack, AUREVIA_PUBLISH_UNSANITISED);
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_NE(result.output.find("--force given"), std::string::npos) << result.output;
    EXPECT_LT(ReadRolloutDocument().ExpiresUnix, static_cast<int64_t>(std::time(nullptr)));
}

TEST_F(ReleaseControlTest, LeftoversOfStoppedCommandsAreSweptAndNothingElse) {
    ASSERT_EQ(Publish(ReleaseFolder("r1")).status, 0);
    ASSERT_EQ(Rollout("geral", "1", {"--flat"}).status, 0);
    const fs::path releases = srv_ / "aurevia-releases";
    const fs::path objectFolder = (srv_ / ObjectPath(ReadReleaseDocument(1).Files[0].Sha256)).parent_path();
    const std::vector<fs::path> ours = {
        srv_ / "~aur-publish-AbC123.tmp",                     // a staged document of an older tool
        srv_ / "Relatorio" / "~aur-publish-4242-1-keep.tmp",  // a staged flat file
        objectFolder / "~aur-publish-4242-2.tmp",             // a staged object
        releases / "~aur-publish-gen-4242-3.tmp" / "aurevia-rollout.json",  // a generation never switched in
    };
    for (const auto& path : ours) WriteBytes(path, "left behind");
    fs::create_directory(releases / "gen-99");  // renamed, but killed before the switch
    WriteBytes(releases / "gen-99" / "aurevia-rollout.json", "never live");
    fs::create_symlink("aurevia-releases/live/Novo.exe", srv_ / "Novo.exe");  // a link made for it
    const std::vector<fs::path> theirs = {srv_ / "~aur1234-1.tmp", srv_ / "~outro.tmp",
                                          srv_ / "Relatorio" / "~aur77-3.tmp"};
    for (const auto& path : theirs) WriteBytes(path, "another program's");
    fs::create_symlink("nowhere", srv_ / "Quebrado.txt");  // a link of the operator's

    const ToolResult result = Rollout("geral", "1");
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_NE(result.output.find("removed"), std::string::npos) << result.output;
    for (const auto& path : ours) EXPECT_FALSE(fs::exists(path)) << path;
    EXPECT_FALSE(fs::exists(releases / "~aur-publish-gen-4242-3.tmp"));
    EXPECT_FALSE(fs::exists(releases / "gen-99"));
    EXPECT_FALSE(fs::is_symlink(srv_ / "Novo.exe"));
    for (const auto& path : theirs) EXPECT_EQ(ReadBytes(path), "another program's") << path;
    EXPECT_TRUE(fs::is_symlink(srv_ / "Quebrado.txt"));
    EXPECT_TRUE(fs::exists(srv_ / "~aur-publish-lock.tmp"));
}

TEST_F(ReleaseControlTest, StatusWithThePublicKeyChecksEveryDocument) {
    ASSERT_EQ(Publish(ReleaseFolder("r1")).status, 0);
    ASSERT_EQ(Rollout("geral", "1", {"--flat"}).status, 0);
    const std::string pub = publicKey_.string();
    const ToolResult clean = RunTool({"status", "--to", server_, "--pub", pub});
    EXPECT_EQ(clean.status, 0) << clean.output;
    EXPECT_NE(clean.output.find("Rollout document: serial"), std::string::npos) << clean.output;
    EXPECT_NE(clean.output.find("signature good"), std::string::npos) << clean.output;

    const struct {
        fs::path file;
        const char* shown;
    } documents[] = {{srv_ / kRolloutSignatureFileName, "Rollout document"},
                     {srv_ / kManifestSignatureFileName, "Flat manifest"},
                     {srv_ / "aurevia-releases" / "1.sig", "UNREADABLE"}};
    for (const auto& document : documents) {
        SCOPED_TRACE(document.file.filename().string());
        const std::string bytes = ReadBytes(document.file);
        std::string altered = bytes;
        altered[altered.size() / 2] ^= 1;
        WriteBytes(document.file, altered);
        const ToolResult status = RunTool({"status", "--to", server_, "--pub", pub});
        EXPECT_EQ(status.status, 6) << status.output;
        const size_t line = status.output.find(document.shown);
        ASSERT_NE(line, std::string::npos) << status.output;
        const std::string text = status.output.substr(line, status.output.find('\n', line) - line);
        EXPECT_TRUE(text.find("DOES NOT VERIFY") != std::string::npos ||
                    text.find("does not verify") != std::string::npos)
            << status.output;
        // Without the key it lists, as before.
        EXPECT_EQ(RunTool({"status", "--to", server_}).status, 0);
        WriteBytes(document.file, bytes);
    }
}

// After a change of key the present rollout document no longer verifies; the way out keeps every
// ring instead of throwing the document away.
TEST_F(ReleaseControlTest, AChangeOfKeyKeepsEveryRing) {
    ASSERT_EQ(Publish(ReleaseFolder("r1")).status, 0);
    ASSERT_EQ(Rollout("geral", "1").status, 0);
    ASSERT_EQ(Rollout("piloto", "1").status, 0);
    const fs::path newKeys = dir_ / "new-keys";
    fs::create_directories(newKeys);
    ASSERT_EQ(RunTool({"keygen", "--out", newKeys.string()}).status, 0);
    key_ = (newKeys / "publisher-key.pem").string();
    const ToolResult published = Publish(ReleaseFolder("r2", {{"Admissao.exe", "admissao 2"}}));
    ASSERT_EQ(published.status, 0) << published.output;
    EXPECT_EQ(LastLine(published.output), "2");

    const auto before = TreeState(srv_);
    const ToolResult refused = Rollout("piloto", "2");
    EXPECT_EQ(refused.status, 6) << refused.output;
    EXPECT_NE(refused.output.find("--adopt"), std::string::npos) << refused.output;
    EXPECT_EQ(refused.output.find("remove"), std::string::npos) << refused.output;
    EXPECT_EQ(TreeState(srv_), before);

    const ToolResult adopted = Rollout("piloto", "2", {"--adopt"});
    ASSERT_EQ(adopted.status, 0) << adopted.output;
    const TRollout rollout = ReadRolloutDocument();
    ASSERT_EQ(rollout.Rings.size(), 2u);
    EXPECT_EQ(rollout.Rings[0].Ring, "geral");
    EXPECT_EQ(rollout.Rings[0].Release, 1u);
    EXPECT_EQ(rollout.Rings[1].Release, 2u);
    // The document now verifies with the new key; release 1 only with the old one.
    const ToolResult status =
        RunTool({"status", "--to", server_, "--pub", (newKeys / "publisher-key.pub").string()});
    const size_t line = status.output.find("Rollout document: serial");
    ASSERT_NE(line, std::string::npos) << status.output;
    EXPECT_NE(status.output.substr(line, status.output.find('\n', line) - line).find("signature good"),
              std::string::npos)
        << status.output;
}

// The generation kept for readers in flight costs only the files the rollout changed.
TEST_F(ReleaseControlTest, GenerationsShareTheFilesARolloutLeavesUnchanged) {
    ASSERT_EQ(Publish(ReleaseFolder("r1")).status, 0);
    ASSERT_EQ(Publish(ReleaseFolder("r2", {{"Admissao.exe", "admissao 2"}})).status, 0);
    ASSERT_EQ(Rollout("geral", "1", {"--flat"}).status, 0);
    ASSERT_EQ(Rollout("geral", "2", {"--flat"}).status, 0);
    const fs::path releases = srv_ / "aurevia-releases";
    const fs::path live = releases / fs::read_symlink(releases / "live");
    fs::path previous;
    for (const auto& entry : fs::directory_iterator(releases))
        if (entry.path().filename().string().rfind("gen-", 0) == 0 && entry.path() != live)
            previous = entry.path();
    ASSERT_FALSE(previous.empty());
    const auto inode = [](const fs::path& file) {
        struct stat info {};
        EXPECT_EQ(::stat(file.c_str(), &info), 0) << file;
        return info.st_ino;
    };
    EXPECT_EQ(inode(live / "Aurevia.EXE"), inode(previous / "Aurevia.EXE"));
    EXPECT_EQ(inode(live / "Relatorio" / "Rpt.rav"), inode(previous / "Relatorio" / "Rpt.rav"));
    EXPECT_NE(inode(live / "Admissao.exe"), inode(previous / "Admissao.exe"));
    EXPECT_EQ(ReadBytes(srv_ / "Admissao.exe"), "admissao 2");
    EXPECT_EQ(ReadBytes(previous / "Admissao.exe"), "admissao 1");
}

// A server whose documents and flat files are files of their own (written by an older version, or
// copied by a tool that follows links) takes its next rollout as any other.
TEST_F(ReleaseControlTest, AServerOfPlainFilesMovesToGenerations) {
    ASSERT_EQ(Publish(ReleaseFolder("r1")).status, 0);
    ASSERT_EQ(Publish(ReleaseFolder("r2", {{"Admissao.exe", "admissao 2"}})).status, 0);
    ASSERT_EQ(Rollout("geral", "1", {"--flat"}).status, 0);
    const fs::path plain = dir_ / "plain";
    ASSERT_EQ(std::system(("cp -rL '" + server_ + "' '" + plain.string() + "'").c_str()), 0);
    ASSERT_FALSE(fs::is_symlink(plain / kRolloutFileName));
    ASSERT_FALSE(fs::is_symlink(plain / "aurevia-releases" / "live"));
    server_ = plain.string();

    const ToolResult result = Rollout("geral", "2", {"--flat"});
    ASSERT_EQ(result.status, 0) << result.output;
    for (const char* name : {"aurevia-rollout.json", "aurevia-rollout.sig", "aurevia-manifest.json",
                             "aurevia-manifest.sig", "Admissao.exe", "Relatorio/Rpt.rav"})
        EXPECT_TRUE(fs::is_symlink(plain / name)) << name;
    EXPECT_TRUE(fs::is_symlink(plain / "aurevia-releases" / "live"));
    EXPECT_EQ(ReadBytes(plain / "Admissao.exe"), "admissao 2");
    EXPECT_EQ(DecodeRollout(ReadBytes(plain / kRolloutFileName)).Rings[0].Release, 2u);
    const ToolResult verify = RunTool({"verify", "--folder", server_, "--pub", publicKey_.string()});
    EXPECT_EQ(verify.status, 0) << verify.output;
    EXPECT_EQ(RunTool({"status", "--to", server_, "--pub", publicKey_.string()}).status, 0);
}

}  // namespace
}  // namespace publish_test
