// The in-memory listings: the same answers as a walk, changes seen at once, and no file listed
// while it is still being written.
#include "tools/fileservice/listing_cache.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using fileservice::FileService;
using fileservice::ListingCache;

namespace {

constexpr std::time_t kLongAgo = 1600000000;

// Permission bits bind this thread and those it starts even when the tests run as root: without
// these two capabilities, a folder of mode 000 cannot be read.
void DropFileCapabilities() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0) return;
    for (const unsigned cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH})
        data[cap / 32].effective &= ~(1u << (cap % 32));
    syscall(SYS_capset, &header, data);
}

// Runs `scenario` in the child of a death test: it may change what the whole process may do (its
// descriptor limit, its capabilities). The child prints what failed and exits with 1, else "passed".
#define EXPECT_IN_CHILD(scenario, log)                                                \
    EXPECT_EXIT(                                                                      \
        {                                                                             \
            const std::string failed = (scenario)();                                  \
            std::fprintf(stderr, "%s\n", failed.empty() ? "passed" : failed.c_str()); \
            std::fflush(stderr);                                                      \
            std::_Exit(failed.empty() ? 0 : 1);                                       \
        },                                                                            \
        testing::ExitedWithCode(0), log)

class CachedListing : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/listing-cache-test-XXXXXX";
        base_ = mkdtemp(pattern);
        root_ = base_ / "served";
        for (const char* name :
             {"Admission.exe", "Relatorio/RptScheduling.rav", "Relatorio/Sub/Deep.DLL", "notes.txt",
              "aurevia-manifest.json", "aurevia-manifest.sig", "Meus Relat\xc3\xb3rios/a+b&c.rav"})
            Write(name, name, kLongAgo);
        fs::create_directories(base_ / "outside");
        std::ofstream(base_ / "outside" / "secret.txt") << "secret";
        fs::create_symlink(base_ / "outside" / "secret.txt", root_ / "escape.txt");
        fs::create_directory_symlink(base_ / "outside", root_ / "OutsideLink");
        fs::create_symlink(root_ / "notes.txt", root_ / "inner-link.txt");
        service_ = std::make_unique<FileService>(root_);
    }
    void TearDown() override { fs::remove_all(base_); }

    // Writes a file and gives it a modification time (0: leave the current one).
    void Write(const std::string& name, const std::string& content, std::time_t modified = 0) {
        fs::create_directories((root_ / name).parent_path());
        std::ofstream(root_ / name, std::ios::binary) << content;
        if (modified) SetTime(name, modified);
    }
    void SetTime(const std::string& name, std::time_t modified) {
        const timespec times[2] = {{modified, 0}, {modified, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, (root_ / name).c_str(), times, 0), 0);
    }

    std::unique_ptr<ListingCache> Cache(std::chrono::milliseconds settle = 300ms) {
        return std::make_unique<ListingCache>(*service_, fileservice::ListingCacheOptions{settle, 0s});
    }
    static std::string Listing(ListingCache& cache) { return cache.Get("\\", "*.*", true)->Body(); }
    static bool Lists(ListingCache& cache, const std::string& name) {
        return Listing(cache).find("\"FileName\":\"" + name + "\"") != std::string::npos;
    }
    static bool Eventually(const std::function<bool()>& condition) {
        for (int i = 0; i < 100; ++i, std::this_thread::sleep_for(50ms))
            if (condition()) return true;
        return false;
    }

    fs::path base_, root_;
    std::unique_ptr<FileService> service_;
};

TEST_F(CachedListing, AnswersAsTheWalkDoesForEveryFolderMaskAndDepth) {
    auto cache = Cache();
    struct Query {
        const char *folder, *mask;
        bool recursive;
    } queries[] = {
        {"\\", "*.*", true},
        {"", "*", true},
        {"\\", "*.*", false},
        {"Relatorio", "*.rav", true},
        {"relatorio", "*", false},
        {"\\Relatorio\\sub", "*.dll", true},
        {"\\", "aurevia-manifest.*", false},
        {"Meus Relat\xc3\xb3rios", "a+b*", true},
    };
    for (const auto& q : queries)
        EXPECT_EQ(cache->Get(q.folder, q.mask, q.recursive)->Body(),
                  ListingJson(service_->List(q.folder, q.mask, q.recursive)))
            << q.folder << " " << q.mask << " " << q.recursive;
    for (const char* folder : {"Missing", "..", "OutsideLink", "C:\\Windows"}) {
        int status = 0;
        try {
            cache->Get(folder, "*", true);
        } catch (const fileservice::Refusal& refusal) {
            status = refusal.status;
        }
        EXPECT_TRUE(status == 403 || status == 404) << folder;
    }
}

TEST_F(CachedListing, AChangeMadeBeforeTheRequestIsListedAndTheTagFollowsTheContent) {
    auto cache = Cache();
    const auto before = cache->Get("\\", "*.*", true);
    EXPECT_EQ(cache->Get("\\", "*.*", true)->ETag(), before->ETag());

    Write("Relatorio/New.rav", "new", kLongAgo);  // a copy that keeps its original's time
    fs::remove(root_ / "notes.txt");
    const auto after = cache->Get("\\", "*.*", true);
    EXPECT_NE(after->Body().find("Relatorio\\\\New.rav"), std::string::npos) << after->Body();
    EXPECT_EQ(after->Body().find("notes.txt\""), std::string::npos) << after->Body();
    EXPECT_NE(after->ETag(), before->ETag());

    // Another instance over the same content tags it alike, so a cache in front can revalidate
    // against either.
    auto other = Cache();
    EXPECT_EQ(other->Get("\\", "*.*", true)->ETag(), after->ETag());
}

TEST_F(CachedListing, AFileBeingWrittenIsNotListedUntilItSettles) {
    // Found by the first walk with a fresh time and no event saying it is complete: it waits out the
    // settle time.
    Write("Fresh.dll", "fresh");
    auto cache = Cache();
    EXPECT_FALSE(Lists(*cache, "Fresh.dll"));
    EXPECT_TRUE(Eventually([&] { return Lists(*cache, "Fresh.dll"); }));

    // A new file, written in pieces with its writer still holding it: not listed, however long.
    int fd = ::open((root_ / "Modulo.exe").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "half", 4), 4);
    EXPECT_FALSE(Lists(*cache, "Modulo.exe"));
    std::this_thread::sleep_for(600ms);  // twice the settle time
    EXPECT_FALSE(Lists(*cache, "Modulo.exe"));
    ASSERT_EQ(::write(fd, "+rest", 5), 5);
    ::close(fd);
    EXPECT_TRUE(Lists(*cache, "Modulo.exe"));  // closed: complete

    // A listed file rewritten in place keeps its previous entry while its writer holds it.
    const std::string old = Listing(*cache);
    fd = ::open((root_ / "notes.txt").c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "rewrit", 6), 6);
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(Listing(*cache), old);
    ::close(fd);
    // Closed: the new form replaces the old one. Eventually, not at once: once (in 1 of some 30
    // loaded runs) a listing taken right after the close still showed the old entry.
    EXPECT_TRUE(Eventually([&] { return Listing(*cache) != old; }));
    EXPECT_TRUE(Lists(*cache, "notes.txt"));

    // Work files of copy tools never show.
    Write("~aur77-1.tmp", "x", kLongAgo);
    Write("Relatorio/.RptNew.rav.Xy12Ab", "x", kLongAgo);
    std::this_thread::sleep_for(400ms);
    EXPECT_FALSE(Lists(*cache, "~aur77-1.tmp"));
    EXPECT_EQ(Listing(*cache).find("RptNew"), std::string::npos);
}

TEST_F(CachedListing, AFailedWalkKeepsTheLastListingInServiceAndSaysWhyUntilOneSucceeds) {
    std::vector<int> filler;
    const struct {
        const char* cause;
        std::function<void()> provoke, undo;
        const char* reason;  // in Health() and in the log
    } causes[] = {
        {"a folder that cannot be read", [&] { fs::permissions(root_ / "Relatorio/Sub", fs::perms::none); },
         [&] { fs::permissions(root_ / "Relatorio/Sub", fs::perms::owner_all); },
         "cannot read Relatorio/Sub: Permission denied"},
        {"no descriptors left",
         [&] {
             const rlimit low{64, 64};
             setrlimit(RLIMIT_NOFILE, &low);
             for (int fd; (fd = ::dup(0)) >= 0;) filler.push_back(fd);
         },
         [&] {
             for (const int fd : filler) ::close(fd);
         },
         "Too many open files"},
    };
    for (const auto& c : causes) {
        SCOPED_TRACE(c.cause);
        Write("notes.txt", "notes.txt", kLongAgo);  // the child before removed it
        const auto scenario = [&]() -> std::string {
            DropFileCapabilities();  // before the cache starts its thread, which inherits them
            auto cache = Cache();
            const std::string good = Listing(*cache);
            if (!cache->Health().walkOk || !Lists(*cache, "notes.txt")) return "the first walk failed";
            c.provoke();
            fs::remove(root_ / "notes.txt");  // a change, so that the next request walks again
            if (Listing(*cache) != good) return "a failed walk changed the listing: " + Listing(*cache);
            const auto health = cache->Health();
            if (health.walkOk || health.reason.find(c.reason) == std::string::npos ||
                health.failingSince == 0)
                return "Health() says: " + health.reason;
            c.undo();
            if (!Eventually([&] { return cache->Health().walkOk && !Lists(*cache, "notes.txt"); }))
                return "no walk succeeded after the cause went away: " + cache->Health().reason;
            return cache->Health().reason.empty() ? "" : "a reason stays after success";
        };
        EXPECT_IN_CHILD(scenario, std::string("walk of .* failed \\(.*") + c.reason +
                                      ".*the listing of .* stays in service.*succeeded again.*passed");
    }
}

TEST_F(CachedListing, NoListingAtAllWhileNoWalkHasSucceeded) {
    const auto scenario = [&]() -> std::string {
        DropFileCapabilities();
        fs::permissions(root_ / "Relatorio", fs::perms::none);
        auto cache = Cache();
        int status = 0;
        try {
            Listing(*cache);
        } catch (const fileservice::Refusal& refusal) {
            status = refusal.status;
        }
        if (status != 503) return "a listing was given, or status " + std::to_string(status);
        fs::permissions(root_ / "Relatorio", fs::perms::owner_all);
        if (!Eventually([&] { return cache->Health().walkOk; })) return "no walk succeeded later";
        return Lists(*cache, "Relatorio\\\\RptScheduling.rav") ? "" : "not listed: " + Listing(*cache);
    };
    EXPECT_IN_CHILD(scenario, "no listing is served.*passed");
}

TEST_F(CachedListing, NamesThatDifferOnlyInCaseAreListedOnceAndEitherSpellingServesThatFile) {
    const struct {
        std::vector<std::pair<std::string, std::time_t>> written;
        std::string kept;
    } groups[] = {
        {{{"central.ini", kLongAgo}, {"CENTRAL.INI", kLongAgo + 60}}, "CENTRAL.INI"},
        {{{"Relatorio/Rpt.rav", kLongAgo + 60}, {"RELATORIO/rpt.RAV", kLongAgo}}, "Relatorio/Rpt.rav"},
        {{{"tie.txt", kLongAgo}, {"TIE.TXT", kLongAgo}, {"Tie.txt", kLongAgo}},
         "TIE.TXT"},  // byte-wise smallest
        {{{"Configura\xc3\xa7\xc3\xa3o.ini", kLongAgo}, {"CONFIGURA\xc3\x87\xc3\x83O.INI", kLongAgo + 1}},
         "CONFIGURA\xc3\x87\xc3\x83O.INI"},
    };
    for (const auto& group : groups)
        for (const auto& [name, time] : group.written) Write(name, name, time);
    auto cache = Cache();
    const std::string listing = Listing(*cache);
    // The fixture's link out of the root has a warning of its own.
    const auto caseWarnings = [&] {
        auto all = cache->Health().warnings;
        std::erase_if(all, [](const std::string& w) { return w.find("letter case") == std::string::npos; });
        return all;
    };
    const auto warnings = caseWarnings();
    EXPECT_EQ(warnings.size(), std::size(groups));
    for (const auto& group : groups) {
        std::string listed = group.kept;
        std::replace(listed.begin(), listed.end(), '/', '\\');
        size_t count = 0;
        for (const auto& [name, time] : group.written) {
            std::string escaped;  // as the listing's JSON writes it
            for (const char ch : name) escaped += ch == '/' ? std::string("\\\\") : std::string(1, ch);
            count += Lists(*cache, escaped);
            // Either spelling, and one that is on disk under neither, serves the kept file.
            EXPECT_EQ(service_->ResolveFile(name), fs::canonical(root_ / group.kept)) << name;
            EXPECT_EQ(service_->ResolveFile(fileservice::FoldName(name)), fs::canonical(root_ / group.kept));
        }
        EXPECT_EQ(count, 1u) << group.kept << "\n" << listing;
        EXPECT_EQ(std::count_if(warnings.begin(), warnings.end(),
                                [&](const std::string& w) {
                                    return w.find(" only " + listed + " ") != std::string::npos;
                                }),
                  1)
            << group.kept;
    }
    // Resolved: the warning goes with the duplicate.
    fs::remove(root_ / "central.ini");
    EXPECT_TRUE(Eventually([&] { return Listing(*cache).size() && caseWarnings().size() == 3; }));
}

TEST_F(CachedListing, ReleaseControlEntriesAreNotListedButAreDownloadable) {
    const std::string object = "aurevia-objects/ab/ab" + std::string(62, '0');
    for (const std::string& name :
         {object, std::string("aurevia-releases/1.json"), std::string("aurevia-releases/1.sig"),
          std::string("aurevia-rollout.json"), std::string("aurevia-rollout.sig"),
          std::string("aurevia-root/1.json"), std::string("aurevia-root/1.sig"),
          std::string("aurevia-deployment")})
        Write(name, "x", kLongAgo);
    Write("Relatorio/aurevia-rollout.json", "x", kLongAgo);  // only the root's are release control
    auto cache = Cache();
    const std::string listing = Listing(*cache);
    EXPECT_EQ(listing.find("aurevia-objects"), std::string::npos) << listing;
    EXPECT_EQ(listing.find("aurevia-releases"), std::string::npos) << listing;
    EXPECT_EQ(listing.find("\"aurevia-rollout"), std::string::npos) << listing;
    EXPECT_EQ(listing.find("aurevia-root"), std::string::npos) << listing;
    EXPECT_EQ(listing.find("aurevia-deployment"), std::string::npos) << listing;
    EXPECT_TRUE(Lists(*cache, "Relatorio\\\\aurevia-rollout.json"));
    EXPECT_TRUE(Lists(*cache, "aurevia-manifest.json"));
    EXPECT_EQ(cache->Get("\\", "*.*", true)->Body(), ListingJson(service_->List("\\", "*.*", true)));
    for (const std::string& name : {object, std::string("aurevia-objects\\ab\\ab") + std::string(62, '0'),
                                    std::string("aurevia-releases\\1.json"),
                                    std::string("aurevia-rollout.sig"), std::string("aurevia-root\\1.json")})
        EXPECT_NO_THROW(service_->ResolveFile(name)) << name;
}

TEST_F(CachedListing, GzipFormDecodesToTheBodyAndHasItsOwnTag) {
    auto cache = Cache();
    const auto listing = cache->Get("\\", "*.*", true);
    const std::string& gzip = listing->Gzip();
    ASSERT_GT(gzip.size(), 10u);
    EXPECT_EQ(static_cast<unsigned char>(gzip[0]), 0x1f);
    EXPECT_EQ(static_cast<unsigned char>(gzip[1]), 0x8b);
    EXPECT_NE(listing->GzipETag(), listing->ETag());
}

}  // namespace
