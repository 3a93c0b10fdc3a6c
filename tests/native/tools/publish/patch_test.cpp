// The patches publish makes: from which versions (what rings take and the last releases), which it
// keeps (only those that save enough against the deflated file), that each makes the new file
// exactly, and that prune takes away a patch once either of its ends is gone.
#include <random>
#include <set>

#include "common/binary_patch.h"
#include "release_control_fixture.h"

namespace publish_test {
namespace {

// Incompressible content, so that deflating it saves nothing and a patch of a few changed bytes is
// far below any ratio.
std::string Noise(unsigned seed, size_t size = 64 * 1024) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (auto& byte : bytes) byte = static_cast<char>(random());
    return bytes;
}

// Version `n` of a module: the same noise with a few bytes changed per version, as a rebuild leaves it.
std::string Module(int n) {
    std::string bytes = Noise(7);
    for (int i = 1; i <= n; ++i)
        bytes.replace(static_cast<size_t>(i) * 4000, 6, "v" + std::to_string(i) + "....");
    return bytes;
}

class PatchTest : public ReleaseControlTest {
  protected:
    uint64_t PublishModule(int version, std::vector<std::string> more = {}) {
        const fs::path folder =
            ReleaseFolder("r" + std::to_string(version) + "-" + std::to_string(++folders_),
                          {{"Admissao.exe", Module(version)}, {"gds32.dll", Noise(3)}});
        std::vector<std::string> arguments = {"publish", "--from", folder.string(), "--to", server_,
                                              "--key",   key_};
        arguments.insert(arguments.end(), more.begin(), more.end());
        const ToolResult result = RunTool(arguments);
        EXPECT_EQ(result.status, 0) << result.output;
        return std::stoull(result.output.substr(result.output.rfind('\n', result.output.size() - 2) + 1));
    }

    static TReleaseFile FileOf(const TRelease& release, const std::string& name) {
        for (const auto& file : release.Files)
            if (file.Name == name) return file;
        ADD_FAILURE() << "no " << name;
        return {};
    }

    // The versions the module's patches in a release start from, each checked to make the file.
    std::set<int> PatchedFrom(uint64_t serial, int version) {
        const TRelease release = ReadReleaseDocument(serial);
        const TReleaseFile module = FileOf(release, "Admissao.exe");
        EXPECT_TRUE(FileOf(release, "gds32.dll").Patches.empty()) << "an unchanged file gets no patch";
        std::set<int> from;
        for (const auto& patch : module.Patches) {
            const std::string bytes = ReadBytes(srv_ / ObjectPath(patch.Sha256));
            EXPECT_EQ(bytes.size(), patch.Size);
            const std::string old = ReadBytes(srv_ / ObjectPath(patch.From));
            EXPECT_EQ(ApplyBinaryPatch(old, bytes, module.Size), Module(version));
            for (int n = 1; n < 10; ++n)
                if (old == Module(n)) from.insert(n);
        }
        EXPECT_EQ(from.size(), module.Patches.size());
        return from;
    }

    int folders_ = 0;
};

TEST_F(PatchTest, PatchesStartFromWhatRingsTakeAndTheLastReleases) {
    for (int version = 1; version <= 4; ++version) PublishModule(version);
    ASSERT_EQ(Rollout("geral", "2").status, 0);
    ASSERT_EQ(Rollout("piloto", "1").status, 0);
    EXPECT_EQ(PatchedFrom(PublishModule(5), 5), (std::set<int>{1, 2, 3, 4}))
        << "rings 1 and 2, last two 3 and 4";
    EXPECT_EQ(PatchedFrom(PublishModule(6, {"--patch-depth", "0"}), 6), (std::set<int>{1, 2}))
        << "rings only";
    EXPECT_EQ(PatchedFrom(PublishModule(7, {"--patch-depth", "3"}), 7), (std::set<int>{1, 2, 4, 5, 6}))
        << "release 3 is one past the depth";
    ASSERT_EQ(Rollout("geral", "7").status, 0);
    ASSERT_EQ(Rollout("piloto", "7").status, 0);  // the rings keep 2 and 1 as their previous releases
    EXPECT_EQ(PatchedFrom(PublishModule(7, {"--patch-depth", "0"}), 7), (std::set<int>{1, 2}))
        << "the same content again: none from itself, one from each ring's previous release";
}

TEST_F(PatchTest, OnlyPatchesThatSaveEnoughAreKept) {
    PublishModule(1);
    struct {
        const char* what;
        std::string content;
        std::vector<std::string> options;
        bool patched;
    } const cases[] = {
        {"a small change", Module(2), {}, true},
        {"patches turned off", Module(3), {"--patch-ratio", "0"}, false},
        {"a file that shares nothing with the old one", Noise(99), {}, false},
        {"a small change against a tiny ratio", Module(4), {"--patch-ratio", "0.0001"}, false},
    };
    for (const auto& c : cases) {
        const fs::path folder =
            ReleaseFolder(std::string("case-") + std::to_string(++folders_), {{"Admissao.exe", c.content}});
        std::vector<std::string> arguments = {"publish", "--from", folder.string(), "--to", server_,
                                              "--key",   key_,     "--patch-depth", "1"};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        const ToolResult result = RunTool(arguments);
        ASSERT_EQ(result.status, 0) << c.what << result.output;
        const uint64_t serial =
            std::stoull(result.output.substr(result.output.rfind('\n', result.output.size() - 2) + 1));
        const TReleaseFile module = FileOf(ReadReleaseDocument(serial), "Admissao.exe");
        EXPECT_EQ(!module.Patches.empty(), c.patched) << c.what;
        if (c.patched) EXPECT_LT(module.Patches[0].Size, c.content.size() / 100) << c.what;
    }
    for (const char* ratio : {"1.5", "-0.1", "half", ""})
        EXPECT_EQ(RunTool({"publish", "--from", ReleaseFolder("bad").string(), "--to", server_, "--key", key_,
                           "--patch-ratio", ratio})
                      .status,
                  2)
            << ratio;
}

TEST_F(PatchTest, PruneRemovesPatchesWhoseEndsAreGone) {
    for (int version = 1; version <= 3; ++version) PublishModule(version);
    ASSERT_EQ(Rollout("geral", "3").status, 0);
    const TRelease third = ReadReleaseDocument(3);
    const auto patches = FileOf(third, "Admissao.exe").Patches;
    ASSERT_EQ(patches.size(), 2u);  // from 2 and from 1
    const TFilePatch fromSecond =
        patches[0].From == FileOf(ReadReleaseDocument(2), "Admissao.exe").Sha256 ? patches[0] : patches[1];
    const TFilePatch fromFirst = patches[0].From == fromSecond.From ? patches[1] : patches[0];
    const TFilePatch secondFromFirst = FileOf(ReadReleaseDocument(2), "Admissao.exe").Patches.at(0);

    ToolResult prune = RunTool({"prune", "--to", server_, "--keep", "2"});
    ASSERT_EQ(prune.status, 0) << prune.output;
    EXPECT_FALSE(fs::exists(srv_ / ObjectPath(fromFirst.Sha256))) << "version 1 is gone with release 1";
    EXPECT_FALSE(fs::exists(srv_ / ObjectPath(secondFromFirst.Sha256)));
    EXPECT_TRUE(fs::exists(srv_ / ObjectPath(fromSecond.Sha256))) << "release 2 still holds version 2";

    prune = RunTool({"prune", "--to", server_, "--keep", "1"});
    ASSERT_EQ(prune.status, 0) << prune.output;
    EXPECT_FALSE(fs::exists(srv_ / ObjectPath(fromSecond.Sha256)));
    EXPECT_TRUE(fs::exists(srv_ / ObjectPath(FileOf(third, "Admissao.exe").Sha256)));
    const ToolResult status = RunTool({"status", "--to", server_});
    EXPECT_EQ(status.output.find("warning"), std::string::npos) << status.output;
    EXPECT_NE(status.output.find("0 referenced by no release"), std::string::npos) << status.output;
}

}  // namespace
}  // namespace publish_test
