// The publisher's deflated objects: stored beside the plain ones where they pay and recorded in the
// release, taken over when a stored one still inflates to the content, replaced when it does not,
// and pruned together with their plain objects.
#include <zlib.h>

#include <random>

#include "release_control_fixture.h"
#include "tools/publish/deflated_object.h"
#include "update/trust/release_documents.h"

namespace publish_test {
namespace {

std::string Inflated(const std::string& deflated, size_t size) {
    std::string out(size + 1, '\0');
    uLongf length = static_cast<uLongf>(out.size());
    if (uncompress(reinterpret_cast<Bytef*>(out.data()), &length,
                   reinterpret_cast<const Bytef*>(deflated.data()),
                   static_cast<uLong>(deflated.size())) != Z_OK)
        return "(not a zlib stream)";
    out.resize(length);
    return out;
}

std::string Text(const std::string& seed, size_t lines) {
    std::string text;
    for (size_t i = 0; i < lines; ++i) text += seed + " linha " + std::to_string(i % 53) + " campo=valor\n";
    return text;
}

std::string Noise(size_t size) {
    std::mt19937 random(7);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
}

TReleaseFile EntryOf(const TRelease& release, const std::string& name) {
    for (const auto& file : release.Files)
        if (file.Name == name) return file;
    ADD_FAILURE() << name << " is not in release " << release.Serial;
    return {};
}

TEST(DeflatingPays, AtLeastFivePercentAndHalfAKilobyteSmaller) {
    const struct {
        uint64_t size, deflated;
        bool pays;
    } cases[] = {
        {100000, 95000, true}, {100000, 95001, false},  // 5 %
        {5000, 4488, true},    {5000, 4489, false},     // 512 bytes rule over 5 %
        {512, 0, false},       {513, 1, true},          // nothing under 512 bytes pays
        {0, 0, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(publish::DeflatingPays(c.size, c.deflated), c.pays) << c.size << " -> " << c.deflated;
}

TEST_F(ReleaseControlTest, DeflatedObjectsAreStoredWhereTheyPayAndRecordedInTheRelease) {
    const std::string report = Text("relatorio", 2000), noise = Noise(40000);
    ASSERT_EQ(Publish(ReleaseFolder("r1", {{"Relatorio/Grande.rav", report}, {"cripto.dll", noise}})).status,
              0);
    const TRelease release = ReadReleaseDocument(1);
    size_t deflatedEntries = 0;
    for (const auto& file : release.Files) {
        SCOPED_TRACE(file.Name);
        const fs::path deflated = srv_ / DeflatedObjectPath(file.Sha256);
        if (file.Name != "Relatorio\\Grande.rav") {
            // The noise does not deflate, the small files do not pay.
            EXPECT_FALSE(file.DeflatedSize);
            EXPECT_FALSE(fs::exists(deflated));
            continue;
        }
        ++deflatedEntries;
        ASSERT_TRUE(file.DeflatedSize);
        EXPECT_EQ(*file.DeflatedSize, fs::file_size(deflated));
        EXPECT_LT(*file.DeflatedSize, report.size() / 10);
        EXPECT_EQ(Inflated(ReadBytes(deflated), report.size()), report);
        EXPECT_EQ(ReadBytes(srv_ / ObjectPath(file.Sha256)), report);  // the plain one stays
        EXPECT_EQ(fs::status(deflated).permissions(),
                  fs::status(srv_ / ObjectPath(file.Sha256)).permissions());
    }
    EXPECT_EQ(deflatedEntries, 1u);

    // The next release with the same report takes the stored deflated object as it is ...
    const TReleaseFile first = EntryOf(release, "Relatorio\\Grande.rav");
    const std::string stored = ReadBytes(srv_ / DeflatedObjectPath(first.Sha256));
    ASSERT_EQ(Publish(dir_ / "r1").status, 0);
    EXPECT_EQ(EntryOf(ReadReleaseDocument(2), "Relatorio\\Grande.rav").DeflatedSize, first.DeflatedSize);
    // ... and replaces one that no longer inflates to the content.
    for (const std::string& damage : {stored.substr(0, stored.size() / 2), std::string(stored.size(), 'x')}) {
        fs::remove(srv_ / DeflatedObjectPath(first.Sha256));
        WriteBytes(srv_ / DeflatedObjectPath(first.Sha256), damage);
        const ToolResult third = Publish(dir_ / "r1");
        ASSERT_EQ(third.status, 0) << third.output;
        EXPECT_NE(third.output.find("was damaged; replaced"), std::string::npos) << third.output;
        EXPECT_EQ(ReadBytes(srv_ / DeflatedObjectPath(first.Sha256)), stored);
    }
}

TEST_F(ReleaseControlTest, PruneRemovesDeflatedObjectsWithTheirPlainOnes) {
    const std::string old = Text("antigo", 1500), kept = Text("novo", 1500);
    ASSERT_EQ(Publish(ReleaseFolder("r1", {{"Admissao.exe", old}})).status, 0);
    ASSERT_EQ(Publish(ReleaseFolder("r2", {{"Admissao.exe", kept}})).status, 0);
    ASSERT_EQ(Rollout("geral", "2").status, 0);
    const TSha256 oldSha = EntryOf(ReadReleaseDocument(1), "Admissao.exe").Sha256;
    const TSha256 keptSha = EntryOf(ReadReleaseDocument(2), "Admissao.exe").Sha256;
    ASSERT_TRUE(fs::exists(srv_ / DeflatedObjectPath(oldSha)));
    ASSERT_TRUE(fs::exists(srv_ / DeflatedObjectPath(keptSha)));

    const ToolResult status = RunTool({"status", "--to", server_});
    EXPECT_NE(status.output.find("0 referenced by no release"), std::string::npos) << status.output;
    const ToolResult prune = RunTool({"prune", "--to", server_, "--keep", "1"});
    ASSERT_EQ(prune.status, 0) << prune.output;
    EXPECT_NE(prune.output.find("removed release 1"), std::string::npos) << prune.output;
    EXPECT_NE(prune.output.find("and 2 objects"), std::string::npos) << prune.output;
    EXPECT_FALSE(fs::exists(srv_ / ObjectPath(oldSha)));
    EXPECT_FALSE(fs::exists(srv_ / DeflatedObjectPath(oldSha)));
    EXPECT_TRUE(fs::exists(srv_ / ObjectPath(keptSha)));
    EXPECT_TRUE(fs::exists(srv_ / DeflatedObjectPath(keptSha)));
}

}  // namespace
}  // namespace publish_test
