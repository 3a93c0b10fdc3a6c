// The server as readers see it while the publisher works and when it is killed: every document
// beside its own signature, and the flat folder holding one release, whatever the moment.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <thread>

#include "release_control_fixture.h"
#include "tools/publish/publisher_key.h"

namespace publish_test {
namespace {

using Clock = std::chrono::steady_clock;

// A child process that is killed and reaped when its owner goes, also when a test fails.
class Child {
  public:
    explicit Child(const std::vector<std::string>& arguments) {
        pid_ = ::fork();
        if (pid_ == 0) {
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            ::dup2(null, 2);
            std::vector<char*> argv;
            for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() { Kill(); }
    // Kills the child unless it ended; returns whether it had ended (with status 0) by itself.
    bool Kill() {
        if (pid_ <= 0) return finished_;
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        finished_ = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        return finished_;
    }
    int Wait() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    pid_t pid_ = -1;
    bool finished_ = false;
};

bool Exists(const fs::path& path) {
    std::error_code error;
    return fs::exists(path, error);  // through links: what a reader finds
}

class CrashSafetyTest : public ReleaseControlTest {
  protected:
    void SetUp() override {
        ReleaseControlTest::SetUp();
        // Two releases that differ in a shared file, and the second with a file of its own in a
        // folder the first lacks.
        r1_ = ReleaseFolder("r1");
        r2_ =
            ReleaseFolder("r2", {{"Admissao.exe", "admissao 2, a longer one"}, {"Novos/Extra.dll", "extra"}});
        ASSERT_EQ(Publish(r1_).status, 0);
        ASSERT_EQ(Publish(r2_).status, 0);
        const ToolResult first = Rollout("geral", "1", {"--flat"});
        ASSERT_EQ(first.status, 0) << first.output;
        verifyKey_ = publish::ReadPublicKey(PublishTest::publicKey_.string());
    }

    std::vector<std::string> RolloutArguments(int release, bool flat) const {
        std::vector<std::string> arguments = {
            ToolProgram(), "rollout", "--to",  server_,     "--key",
            key_,          "--ring",  "geral", "--release", std::to_string(release)};
        if (flat) arguments.push_back("--flat");
        return arguments;
    }

    // Empty when the document and its signature (both present) verify; else what is wrong.
    std::string PairProblem(const fs::path& document, const fs::path& signature) const {
        if (!Exists(document)) return document.filename().string() + " missing";
        if (!Exists(signature)) return signature.filename().string() + " missing beside its document";
        if (!publish::Verifies(verifyKey_.get(), ReadBytes(document), ReadBytes(signature)))
            return document.filename().string() + " and its signature do not match";
        return {};
    }

    // Which release the flat folder holds wholly: 1, 2, or 0 for a mix.
    int FlatRelease() const {
        const auto holds = [&](const fs::path& release) {
            for (const auto& entry : fs::recursive_directory_iterator(release)) {
                if (!entry.is_regular_file()) continue;
                const fs::path name = entry.path().lexically_relative(release);
                if (!Exists(srv_ / name) || ReadBytes(srv_ / name) != ReadBytes(entry.path())) return false;
            }
            return true;
        };
        return holds(r1_) ? 1 : holds(r2_) ? 2 : 0;
    }

    void ExpectWholeServer(const std::string& when) {
        SCOPED_TRACE(when);
        EXPECT_EQ(PairProblem(srv_ / kRolloutFileName, srv_ / kRolloutSignatureFileName), "");
        EXPECT_EQ(PairProblem(srv_ / kManifestFileName, srv_ / kManifestSignatureFileName), "");
        for (const int release : {1, 2}) {
            const fs::path base = srv_ / "aurevia-releases" / std::to_string(release);
            EXPECT_EQ(PairProblem(base.string() + ".json", base.string() + ".sig"), "");
        }
        EXPECT_NE(FlatRelease(), 0) << "the flat folder mixes two releases";
        const ToolResult verify =
            RunTool({"verify", "--folder", server_, "--pub", (keys_ / "publisher-key.pub").string()});
        EXPECT_EQ(verify.status, 0) << verify.output;
    }

    fs::path r1_, r2_;
    publish::Key verifyKey_;
};

// One rollout killed at a random moment, many times over: plain rollouts and flat ones, towards
// either release. AUREVIA_KILL_ROUNDS sets how many (default 40).
TEST_F(CrashSafetyTest, KilledRolloutsLeaveWholePairsAndOneFlatRelease) {
    const char* rounds = std::getenv("AUREVIA_KILL_ROUNDS");
    const int count = rounds ? std::atoi(rounds) : 40;
    // The time a whole flat rollout takes bounds the delays: kills land anywhere inside one.
    const auto started = Clock::now();
    {
        Child whole(RolloutArguments(2, true));
        ASSERT_EQ(whole.Wait(), 0);
    }
    const auto span = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started);
    ExpectWholeServer("after a complete flat rollout");
    ASSERT_EQ(FlatRelease(), 2);

    std::mt19937 random(std::random_device{}());
    int completed = 0;
    for (int round = 0; round < count && !HasFailure(); ++round) {
        const int release = 1 + round % 2;
        const bool flat = (round / 2) % 2 == 0;
        Child child(RolloutArguments(release, flat));
        std::this_thread::sleep_for(std::chrono::microseconds(
            std::uniform_int_distribution<int64_t>(0, span.count() * 5 / 4)(random)));
        completed += child.Kill();
        ExpectWholeServer("round " + std::to_string(round) + (flat ? " (flat" : " (plain") + " rollout of " +
                          std::to_string(release) + ")");
    }
    RecordProperty("completed_before_the_kill", completed);
    RecordProperty("killed", count - completed);
    std::printf("%d rollouts killed at random moments, %d completed before their kill\n", count - completed,
                completed);

    // The next command sweeps whatever the killed ones left and completes.
    const ToolResult after = Rollout("geral", "2", {"--flat"});
    ASSERT_EQ(after.status, 0) << after.output;
    ExpectWholeServer("after the sweep");
    size_t leftovers = 0, generations = 0;
    for (const auto& entry : fs::recursive_directory_iterator(srv_)) {
        const std::string name = entry.path().filename().string();
        leftovers += name.rfind("~aur-publish-", 0) == 0 && name != "~aur-publish-lock.tmp";
        generations +=
            name.rfind("gen-", 0) == 0 && entry.path().parent_path().filename() == "aurevia-releases";
    }
    EXPECT_EQ(leftovers, 0u);
    EXPECT_LE(generations, 2u);
}

// Readers poll both pairs while rollouts run. A reader whose two reads straddle a switch gets an
// old document and a new signature, and finds the document changed when it reads it again: the
// launcher refuses such a pair and takes it at its next update. What must never happen is a pair
// that stays mismatched on the server, which is what two renames in a row let readers see.
TEST_F(CrashSafetyTest, ReadersNeverFindAMismatchedPairOnTheServer) {
    const auto serve = [&](const std::function<std::string(const std::string&)>& read, const char* how) {
        std::atomic<bool> stop{false};
        std::atomic<int> reads{0}, straddles{0}, mismatches{0};
        std::string mismatch;
        std::thread reader([&] {
            while (!stop) {
                for (const auto& [documentName, signatureName] :
                     {std::pair{std::string(kRolloutFileName), std::string(kRolloutSignatureFileName)},
                      std::pair{std::string(kManifestFileName), std::string(kManifestSignatureFileName)}}) {
                    const std::string document = read(documentName);
                    const std::string signature = read(signatureName);
                    ++reads;
                    if (publish::Verifies(verifyKey_.get(), document, signature)) continue;
                    if (read(documentName) != document) {
                        ++straddles;
                    } else if (publish::Verifies(verifyKey_.get(), document, read(signatureName))) {
                        ++straddles;  // the signature read was the one before a switch
                    } else {
                        ++mismatches;
                        mismatch = documentName;
                    }
                }
            }
        });
        for (int round = 0; round < 16; ++round) {
            const ToolResult result =
                Rollout("geral", std::to_string(1 + round % 2),
                        round % 4 < 2 ? std::vector<std::string>{"--flat"} : std::vector<std::string>{});
            EXPECT_EQ(result.status, 0) << result.output;
        }
        stop = true;
        reader.join();
        SCOPED_TRACE(how);
        EXPECT_GT(reads.load(), 16);
        EXPECT_EQ(mismatches.load(), 0) << mismatch;
        RecordProperty(std::string(how) + "_reads", reads.load());
        RecordProperty(std::string(how) + "_straddles", straddles.load());
        std::printf("%s: %d pairs read, %d straddled a switch, %d mismatched on the server\n", how,
                    reads.load(), straddles.load(), mismatches.load());
    };

    // A share's reader: the server opens each name afresh, following the links.
    serve([&](const std::string& name) { return ReadBytes(srv_ / name); }, "folder");

    // The file service, which resolves each name and serves what it resolved to.
    const fs::path portFile = dir_ / "port";
    Child service(
        {AUREVIA_FILESERVICE, "--folder", server_, "--port", "0", "--port-file", portFile.string()});
    for (int i = 0; i < 100 && ReadBytes(portFile).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const int port = std::atoi(ReadBytes(portFile).c_str());
    ASSERT_GT(port, 0);
    std::unique_ptr<httplib::Client> client;  // made and used by the reader thread only
    serve(
        [&](const std::string& name) {
            if (!client) client = std::make_unique<httplib::Client>("127.0.0.1", port);
            const auto answer = client->Get("/download?file=" + name);
            return answer && answer->status == 200 ? answer->body : std::string("(status)");
        },
        "service");
}

}  // namespace
}  // namespace publish_test
