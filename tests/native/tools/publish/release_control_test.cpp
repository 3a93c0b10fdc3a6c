// publish, rollout, status and prune on a server folder: objects stored once, the documents that
// rings follow, rollback, pruning, the flat folder laid from a release, and every failed command
// leaving the server as it was.
#include <fcntl.h>
#include <openssl/sha.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <functional>
#include <map>

#include <openssl/sha.h>

#include "release_control_fixture.h"
#include "update/trust/release_documents.h"

namespace publish_test {
namespace {

constexpr char kLockFile[] = "~aur-publish-lock.tmp";

std::map<std::string, std::string> Snapshot(const fs::path& folder) { return TreeState(folder); }

// What a rollout document pins a release by: the SHA-256 of its .json bytes as the server keeps them.
TSha256 PinOfRelease(const fs::path& server, uint64_t serial) {
    const std::string bytes = ReadBytes(server / kReleasesFolderName / (std::to_string(serial) + ".json"));
    TSha256 pin{};
    SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), pin.data());
    return pin;
}

TEST_F(ReleaseControlTest, ObjectsAreStoredOnceAcrossReleases) {
    const ToolResult first = Publish(ReleaseFolder("r1"), "primeira");
    ASSERT_EQ(first.status, 0) << first.output;
    EXPECT_EQ(first.output.substr(first.output.size() - 2), "1\n");
    EXPECT_EQ(ObjectCount(), 4u);
    const ToolResult second =
        Publish(ReleaseFolder("r2", {{"Admissao.exe", "admissao 2"}, {"Relatorio/Novo.rav", "novo"}}));
    ASSERT_EQ(second.status, 0) << second.output;
    EXPECT_NE(second.output.find("2 new objects"), std::string::npos) << second.output;
    EXPECT_EQ(second.output.substr(second.output.size() - 2), "2\n");
    EXPECT_EQ(ObjectCount(), 6u);
    const ToolResult again = Publish(dir_ / "r2");  // the same files once more: a release, no object
    ASSERT_EQ(again.status, 0) << again.output;
    EXPECT_NE(again.output.find("0 new objects"), std::string::npos) << again.output;
    EXPECT_EQ(ObjectCount(), 6u);

    const TRelease release = ReadReleaseDocument(2);
    EXPECT_EQ(release.Serial, 2u);
    EXPECT_EQ(ReadReleaseDocument(1).Note, "primeira");
    ASSERT_EQ(release.Files.size(), 5u);
    for (const auto& file : release.Files) {
        SCOPED_TRACE(file.Name);
        std::string relative = file.Name;
        std::replace(relative.begin(), relative.end(), '\\', '/');
        EXPECT_EQ(ReadBytes(srv_ / ObjectPath(file.Sha256)), ReadBytes(dir_ / "r2" / relative));
        EXPECT_EQ(file.AgeUnix, AgeOf(dir_ / "r2" / relative));
    }
    // Nothing a workstation takes changed: no rollout document, no flat file.
    EXPECT_FALSE(fs::exists(srv_ / kRolloutFileName));
    EXPECT_FALSE(fs::exists(srv_ / "Aurevia.EXE"));
}

TEST_F(ReleaseControlTest, RingsWidenAndRollBackWithGrowingSerials) {
    ASSERT_EQ(Publish(ReleaseFolder("r1")).status, 0);
    ASSERT_EQ(Publish(ReleaseFolder("r2", {{"Admissao.exe", "admissao 2"}})).status, 0);
    struct Step {
        const char* ring;
        const char* release;
        std::vector<std::string> more;
        // what the ring's entry is afterwards
        uint64_t takes;
        std::optional<uint64_t> previous;
        unsigned percent;
    } steps[] = {
        {"geral", "1", {}, 1, std::nullopt, 100},
        {"piloto", "2", {}, 2, 1, 100},  // the pilot leaves "geral"'s release 1
        {"geral", "2", {"--percent", "0"}, 2, 1, 0},
        {"geral", "2", {"--percent", "50"}, 2, 1, 50},  // widened: the same previous
        {"geral", "2", {}, 2, 1, 100},
        {"geral", "1", {}, 1, 2, 100},  // rolled back
    };
    uint64_t lastSerial = 0;
    for (const auto& step : steps) {
        SCOPED_TRACE(std::string(step.ring) + " " + step.release);
        const ToolResult result = Rollout(step.ring, step.release, step.more);
        ASSERT_EQ(result.status, 0) << result.output;
        const TRollout rollout = ReadRolloutDocument();
        EXPECT_GT(rollout.Serial, lastSerial);
        lastSerial = rollout.Serial;
        EXPECT_GT(rollout.ExpiresUnix, std::time(nullptr) + 29 * 86400);
        const TRingAssignment* entry = RingEntry(rollout, step.ring);
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->Ring, step.ring);
        EXPECT_EQ(entry->Release, step.takes);
        EXPECT_EQ(entry->Previous, step.previous);
        EXPECT_EQ(entry->Percent, step.percent);
        EXPECT_EQ(entry->ReleaseSha256, PinOfRelease(srv_, step.takes));
        EXPECT_EQ(entry->PreviousSha256,
                  step.previous ? std::optional<TSha256>(PinOfRelease(srv_, *step.previous)) : std::nullopt);
    }
    // The pilot kept its own entry through all of "geral"'s changes.
    EXPECT_EQ(AssignedRelease(ReadRolloutDocument(), "piloto", 99), std::optional<uint64_t>(2));
    EXPECT_EQ(AssignedRelease(ReadRolloutDocument(), "ala-b", 0), std::optional<uint64_t>(1));

    const ToolResult status = RunTool({"status", "--to", server_});
    ASSERT_EQ(status.status, 0) << status.output;
    for (const std::string& expected :
         std::vector<std::string>{"ring geral", "release 1 on 100 % (previous 2)", "ring piloto",
                                  "serial " + std::to_string(lastSerial), "0 referenced by no release"})
        EXPECT_NE(status.output.find(expected), std::string::npos) << expected << "\n" << status.output;
}

TEST_F(ReleaseControlTest, FailedCommandsChangeNothing) {
    ASSERT_EQ(Publish(ReleaseFolder("r1")).status, 0);
    ASSERT_EQ(Rollout("geral", "1").status, 0);
    ASSERT_EQ(RunTool({"keygen", "--out", dir_.string()}).status, 0);  // another publisher's key
    const std::string otherKey = (dir_ / "publisher-key.pem").string();
    ASSERT_EQ(::mkfifo((dir_ / "fifo.pem").c_str(), 0600), 0);
    const std::string r1 = (dir_ / "r1").string();
    const std::string missing = (dir_ / "missing").string();
    const std::string tampered = (dir_ / "tampered").string();
    const struct {
        std::vector<std::string> arguments;
        int status;
        const char* message;
    } cases[] = {
        {{"publish", "--to", server_, "--key", key_}, 2, "--from is required"},
        {{"publish", "--from", r1, "--key", key_}, 2, "--to is required"},
        {{"publish", "--from", r1, "--to", server_}, 2, "--key is required"},
        {{"publish", "--from", missing, "--to", server_, "--key", key_}, 3, "No folder"},
        {{"publish", "--from", r1, "--to", missing, "--key", key_}, 3, "No folder"},
        {{"publish", "--from", r1, "--to", server_, "--key", (dir_ / "absent.pem").string()},
         4,
         "No such file"},
        {{"publish", "--from", r1, "--to", server_, "--key", publicKey_.string()}, 4, "No private key"},
        {{"publish", "--from", r1, "--to", server_, "--key", dir_.string()}, 4, "a folder"},
        {{"publish", "--from", r1, "--to", server_, "--key", "/dev/zero"}, 4, "a device"},
        {{"publish", "--from", r1, "--to", server_, "--key", (dir_ / "fifo.pem").string()}, 4, "a pipe"},
        {{"rollout", "--to", server_, "--key", key_, "--release", "1"}, 2, "--ring is required"},
        {{"rollout", "--to", server_, "--key", key_, "--ring", "Geral", "--release", "1"}, 2, "Ring name"},
        {{"rollout", "--to", server_, "--key", key_, "--ring", "ala b", "--release", "1"}, 2, "Ring name"},
        {{"rollout", "--to", server_, "--key", key_, "--ring", std::string(33, 'a'), "--release", "1"},
         2,
         "Ring name"},
        {{"rollout", "--to", server_, "--key", key_, "--ring", "geral"}, 2, "--release is required"},
        {{"rollout", "--to", server_, "--key", key_, "--ring", "geral", "--release", "0"}, 2, "--release"},
        {{"rollout", "--to", server_, "--key", key_, "--ring", "geral", "--release", "9"}, 9, "no release 9"},
        {{"rollout", "--to", server_, "--key", key_, "--ring", "geral", "--release", "1", "--percent", "101"},
         2,
         "--percent"},
        {{"rollout", "--to", server_, "--key", key_, "--ring", "geral", "--release", "1", "--percent", "-5"},
         2,
         "--percent"},
        {{"rollout", "--to", server_, "--key", key_, "--ring", "geral", "--release", "1", "--percent", "50"},
         1,
         "no previous release"},
        {{"rollout", "--to", server_, "--key", key_, "--ring", "geral", "--release", "1", "--flat", "--flat"},
         2,
         "--flat is given twice"},
        {{"rollout", "--to", server_, "--key", otherKey, "--ring", "geral", "--release", "1"},
         6,
         "does not verify"},
        {{"rollout", "--to", missing, "--key", key_, "--ring", "geral", "--release", "1"}, 3, "No folder"},
        {{"status"}, 2, "--to is required"},
        {{"status", "--to", missing}, 3, "No server folder"},
        {{"prune", "--to", server_}, 2, "--keep is required"},
        {{"prune", "--to", server_, "--keep", "-1"}, 2, "--keep"},
    };
    const auto before = Snapshot(srv_);
    for (const auto& c : cases) {
        std::string shown;
        for (const auto& argument : c.arguments) shown += argument + " ";
        SCOPED_TRACE(shown);
        const ToolResult result = RunTool(c.arguments, "timeout 20");  // a FIFO must not hang it
        EXPECT_EQ(result.status, c.status) << result.output;
        EXPECT_NE(result.output.find(c.message), std::string::npos) << result.output;
        EXPECT_EQ(Snapshot(srv_), before);
    }

    // A command on a server that another one holds, and a release altered after signing.
    const int lock = ::open((srv_ / kLockFile).c_str(), O_RDWR);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"publish", "--from", r1, "--to", server_, "--key", key_},
          {"rollout", "--to", server_, "--key", key_, "--ring", "geral", "--release", "1"},
          {"prune", "--to", server_, "--keep", "0"},
          {"sign", "--folder", server_, "--key", key_}}) {
        SCOPED_TRACE(arguments[0]);
        const ToolResult result = RunTool(arguments);
        EXPECT_EQ(result.status, 1) << result.output;
        EXPECT_NE(result.output.find("Another signing or publishing"), std::string::npos) << result.output;
    }
    ::close(lock);
    EXPECT_EQ(Snapshot(srv_), before);

    // An object altered on the server is not laid into the flat folder.
    const fs::path object = srv_ / ObjectPath(ReadReleaseDocument(1).Files[0].Sha256);
    std::string content = ReadBytes(object);
    content[0] ^= 1;
    WriteBytes(object, content);
    const auto objectAltered = Snapshot(srv_);
    const ToolResult flat = Rollout("geral", "1", {"--flat"});
    EXPECT_EQ(flat.status, 1) << flat.output;
    EXPECT_NE(flat.output.find("is missing or damaged"), std::string::npos) << flat.output;
    EXPECT_EQ(Snapshot(srv_), objectAltered);

    const fs::path release = srv_ / "aurevia-releases" / "1.json";
    std::string bytes = ReadBytes(release);
    bytes.replace(bytes.find("\"serial\":1"), 10, "\"serial\":1 ");
    WriteBytes(release, bytes);
    const auto altered = Snapshot(srv_);
    const ToolResult result = Rollout("geral", "1", {"--percent", "100"});
    EXPECT_EQ(result.status, 6) << result.output;
    EXPECT_NE(result.output.find("does not verify"), std::string::npos) << result.output;
    EXPECT_EQ(Snapshot(srv_), altered);
}

TEST_F(ReleaseControlTest, PruneKeepsTheLastReleasesAndWhatRingsReferTo) {
    for (int i = 1; i <= 4; ++i)
        ASSERT_EQ(Publish(ReleaseFolder("r" + std::to_string(i),
                                        {{"Admissao.exe", "admissao " + std::to_string(i)}}))
                      .status,
                  0);
    ASSERT_EQ(Rollout("geral", "2").status, 0);
    ASSERT_EQ(Rollout("geral", "3", {"--percent", "50"}).status, 0);  // 3 on half, 2 on the rest
    WriteBytes(srv_ / "aurevia-objects" / "ff" / std::string(64, 'f'), "stray");
    EXPECT_EQ(ObjectCount(), 8u);  // 3 shared, 4 modules, 1 stray

    ToolResult status = RunTool({"status", "--to", server_});
    EXPECT_NE(status.output.find("1 referenced by no release"), std::string::npos) << status.output;
    const ToolResult prune = RunTool({"prune", "--to", server_, "--keep", "1"});
    ASSERT_EQ(prune.status, 0) << prune.output;
    EXPECT_NE(prune.output.find("removed release 1"), std::string::npos) << prune.output;
    EXPECT_FALSE(fs::exists(srv_ / "aurevia-releases" / "1.json"));
    EXPECT_FALSE(fs::exists(srv_ / "aurevia-releases" / "1.sig"));
    for (const char* kept : {"2.json", "3.json", "4.json"})
        EXPECT_TRUE(fs::exists(srv_ / "aurevia-releases" / kept));
    EXPECT_EQ(ObjectCount(), 6u);  // release 1's module and the stray object went
    for (uint64_t serial : {2, 3, 4})
        for (const auto& file : ReadReleaseDocument(serial).Files)
            EXPECT_TRUE(fs::exists(srv_ / ObjectPath(file.Sha256))) << serial << " " << file.Name;
    // What remains still rolls out.
    EXPECT_EQ(Rollout("geral", "4").status, 0);
}

TEST_F(ReleaseControlTest, AStagedReleaseIsNamedWithItsDocumentUntilTheRingSwitchesToIt) {
    for (int i = 1; i <= 3; ++i)
        ASSERT_EQ(Publish(ReleaseFolder("r" + std::to_string(i),
                                        {{"Admissao.exe", "admissao " + std::to_string(i)}}))
                      .status,
                  0);
    ASSERT_EQ(Rollout("geral", "1").status, 0);
    ASSERT_EQ(Rollout("piloto", "2", {"--percent", "50"}).status, 0);
    const auto stage = [&](const std::string& ring, const std::string& serial) {
        return RunTool({"rollout", "--to", server_, "--key", key_, "--ring", ring, "--stage", serial});
    };
    const uint64_t before = ReadRolloutDocument().Serial;
    const ToolResult staged = stage("piloto", "3");
    ASSERT_EQ(staged.status, 0) << staged.output;
    EXPECT_NE(staged.output.find("release 3 is staged"), std::string::npos) << staged.output;
    TRollout rollout = ReadRolloutDocument();
    EXPECT_GT(rollout.Serial, before);
    const TRingAssignment* pilot = RingEntry(rollout, "piloto");
    ASSERT_NE(pilot, nullptr);
    // What the ring takes is untouched: the same release on the same share.
    EXPECT_EQ(pilot->Release, 2u);
    EXPECT_EQ(pilot->Previous, std::optional<uint64_t>(1));
    EXPECT_EQ(pilot->Percent, 50u);
    EXPECT_EQ(pilot->Staged, std::optional<uint64_t>(3));
    const std::string document = ReadBytes(srv_ / "aurevia-releases" / "3.json");
    TSha256 digest{};
    SHA256(reinterpret_cast<const unsigned char*>(document.data()), document.size(), digest.data());
    EXPECT_EQ(pilot->StagedSha256, std::optional<TSha256>(digest));
    EXPECT_EQ(RingEntry(rollout, "geral")->Staged, std::nullopt);

    const ToolResult status = RunTool({"status", "--to", server_});
    EXPECT_NE(status.output.find("release 3 staged"), std::string::npos) << status.output;
    // Pruning keeps what a ring stages.
    ASSERT_EQ(RunTool({"prune", "--to", server_, "--keep", "0"}).status, 0);
    EXPECT_TRUE(fs::exists(srv_ / "aurevia-releases" / "3.json"));

    // Widening what the ring takes keeps the stage; switching to the staged release ends it.
    ASSERT_EQ(Rollout("piloto", "2").status, 0);
    EXPECT_EQ(RingEntry(ReadRolloutDocument(), "piloto")->Staged, std::optional<uint64_t>(3));
    const ToolResult switched = Rollout("piloto", "3");
    ASSERT_EQ(switched.status, 0) << switched.output;
    rollout = ReadRolloutDocument();
    pilot = RingEntry(rollout, "piloto");
    EXPECT_EQ(pilot->Release, 3u);
    EXPECT_EQ(pilot->Previous, std::optional<uint64_t>(2));
    EXPECT_EQ(pilot->Staged, std::nullopt);
    EXPECT_EQ(pilot->StagedSha256, std::nullopt);

    // Refusals leave the server as it was.
    const std::map<std::string, std::string> kept = Snapshot(srv_);
    const struct {
        std::vector<std::string> arguments;
        int status;
        const char* message;
    } refusals[] = {
        {{"--ring", "piloto", "--stage", "2", "--release", "2"}, 2, "exclude each other"},
        {{"--ring", "piloto", "--stage", "2", "--percent", "50"}, 2, "takes no --percent"},
        {{"--ring", "piloto", "--stage", "2", "--flat"}, 2, "takes no --percent or --flat"},
        {{"--ring", "piloto", "--stage", "0"}, 2, "--stage"},
        {{"--ring", "piloto", "--stage", "9"}, 9, "no release 9"},
        {{"--ring", "ala-b", "--stage", "2"}, 1, "no entry of its own"},
        {{"--ring", "piloto", "--stage", "3"}, 1, "already takes release 3"},
    };
    for (const auto& refusal : refusals) {
        std::vector<std::string> arguments = {"rollout", "--to", server_, "--key", key_};
        arguments.insert(arguments.end(), refusal.arguments.begin(), refusal.arguments.end());
        const ToolResult result = RunTool(arguments);
        SCOPED_TRACE(result.output);
        EXPECT_EQ(result.status, refusal.status);
        EXPECT_NE(result.output.find(refusal.message), std::string::npos);
        EXPECT_EQ(Snapshot(srv_), kept);
    }
}

TEST_F(ReleaseControlTest, FlatRolloutLaysTheReleaseWithItsAgesAndVerifies) {
    ASSERT_EQ(Publish(ReleaseFolder("r1")).status, 0);
    ASSERT_EQ(Publish(ReleaseFolder("r2", {{"Admissao.exe", "admissao dois"}})).status, 0);
    WriteBytes(srv_ / "Leiame.txt", "kept by hand");  // a flat file no release names stays
    for (const char* release : {"2", "1"}) {          // out, then rolled back
        SCOPED_TRACE(release);
        const ToolResult result = Rollout("geral", release, {"--flat"});
        ASSERT_EQ(result.status, 0) << result.output;
        const fs::path from = dir_ / (std::string("r") + release);
        for (const char* file : {"Aurevia.EXE", "Admissao.exe", "Relatorio/Rpt.rav"}) {
            EXPECT_EQ(ReadBytes(srv_ / file), ReadBytes(from / file)) << file;
            EXPECT_EQ(AgeOf(srv_ / file), AgeOf(from / file)) << file;
        }
        const ToolResult verify = RunTool({"verify", "--folder", server_, "--pub", publicKey_.string()});
        EXPECT_EQ(verify.status, 0) << verify.output;
        const TReleaseManifest manifest = ReadManifest(srv_);
        EXPECT_EQ(manifest.Files.size(), 5u);  // four of the release, Leiame.txt
        for (const auto& file : manifest.Files)
            EXPECT_EQ(file.Name.find("aurevia-"), std::string::npos) << file.Name;
    }
    // A flat rollout that fails (here: a folder where a release file goes) leaves no folder it made.
    ASSERT_EQ(Publish(ReleaseFolder("r3", {{"Novos/Modulo/x.dll", "x"}})).status, 0);
    fs::remove(srv_ / "gds32.dll");
    fs::create_directories(srv_ / "gds32.dll");
    const auto before = Snapshot(srv_);
    const ToolResult failed = Rollout("geral", "3", {"--flat"});
    EXPECT_EQ(failed.status, 1) << failed.output;
    EXPECT_NE(failed.output.find("is not a file"), std::string::npos) << failed.output;
    EXPECT_EQ(Snapshot(srv_), before);
    fs::remove(srv_ / "gds32.dll");
    ASSERT_EQ(Rollout("geral", "1", {"--flat"}).status, 0);

    // The flat manifest of `sign` leaves the release-control entries out as well.
    const ToolResult sign = RunTool({"sign", "--folder", server_, "--key", key_});
    ASSERT_EQ(sign.status, 0) << sign.output;
    EXPECT_EQ(ReadManifest(srv_).Files.size(), 5u);
    // A name no workstation can take, put there after signing, is a difference that verify names.
    WriteBytes(srv_ / "aux.dll", "x");
    const ToolResult verify = RunTool({"verify", "--folder", server_, "--pub", publicKey_.string()});
    EXPECT_EQ(verify.status, 8) << verify.output;
    EXPECT_NE(verify.output.find("not in the manifest: aux.dll"), std::string::npos) << verify.output;
}

// A private key must never be listed, whatever its name or path, and names a Windows workstation
// cannot create are refused before anything is written.
TEST_F(ReleaseControlTest, KeysAndWindowsNamesInTheFolderAreRefused) {
    const fs::path r1 = ReleaseFolder("r1");
    const fs::path outsideCopy = dir_ / "elsewhere.pem";
    fs::copy_file(privateKey_, outsideCopy);
    const struct {
        const char* what;
        std::function<void(const fs::path&)> make;
        const char* message;
    } holes[] = {
        {"a hard link to the key",
         [&](const fs::path& f) { fs::create_hard_link(privateKey_, f / "chave.bin"); },
         "is the private key"},
        {"a copy of another key under another name",
         [&](const fs::path& f) { WriteBytes(f / "Relatorio" / "dados.dat", ReadBytes(outsideCopy)); },
         "PEM private key"},
        {"a key after attribute lines",
         [&](const fs::path& f) { WriteBytes(f / "a.txt", "Bag Attributes\n" + ReadBytes(privateKey_)); },
         "PEM private key"},
        {"CON.dll", [&](const fs::path& f) { WriteBytes(f / "CON.dll", "x"); }, "device name"},
        {"nul", [&](const fs::path& f) { WriteBytes(f / "Relatorio" / "nul", "x"); }, "device name"},
        {"com1.txt", [&](const fs::path& f) { WriteBytes(f / "com1.txt", "x"); }, "device name"},
        {"COM superscript two", [&](const fs::path& f) { WriteBytes(f / "COM\xC2\xB2.log", "x"); },
         "device name"},
        {"Lpt9 as a folder", [&](const fs::path& f) { WriteBytes(f / "Lpt9" / "a.dll", "x"); },
         "device name"},
        {"a trailing dot", [&](const fs::path& f) { WriteBytes(f / "a.", "x"); }, "dot or a space"},
        {"a trailing space", [&](const fs::path& f) { WriteBytes(f / "b ", "x"); }, "dot or a space"},
    };
    for (const auto& hole : holes) {
        SCOPED_TRACE(hole.what);
        for (const bool publishing : {true, false}) {
            const fs::path folder = publishing ? r1 : srv_;
            const auto before = Snapshot(srv_);
            hole.make(folder);
            const auto made = Snapshot(srv_);
            const ToolResult result =
                publishing ? Publish(r1) : RunTool({"sign", "--folder", server_, "--key", key_});
            EXPECT_EQ(result.status, 1) << result.output;
            EXPECT_NE(result.output.find(hole.message), std::string::npos) << result.output;
            EXPECT_EQ(Snapshot(srv_), made);
            fs::remove_all(r1);
            ReleaseFolder("r1");
            if (!publishing)
                for (const auto& [name, content] : made)
                    if (!before.count(name)) fs::remove_all(srv_ / name);
        }
    }
    // A name that only looks like one is taken.
    WriteBytes(r1 / "CONSOLE.dll", "x");
    WriteBytes(r1 / "com10.txt", "x");
    EXPECT_EQ(Publish(r1).status, 0);
}

TEST_F(ReleaseControlTest, PublicKeyPathsThatAreNoFileFailAtOnce) {
    ASSERT_EQ(::mkfifo((dir_ / "fifo.pub").c_str(), 0600), 0);
    for (const std::string& pub : {std::string("/dev/zero"), (dir_ / "fifo.pub").string(), dir_.string()}) {
        SCOPED_TRACE(pub);
        const ToolResult result = RunTool({"verify", "--folder", server_, "--pub", pub}, "timeout 20");
        EXPECT_EQ(result.status, 4) << result.output;
        EXPECT_NE(result.output.find("not a regular file"), std::string::npos) << result.output;
    }
}

}  // namespace
}  // namespace publish_test
