#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "tools/fileservice/file_service.h"
#include "tools/fileservice/front_cache.h"
#include "tools/fileservice/listing_cache.h"
#include "base/string_convert.h"
#include "update/transport/url_encoding.h"
#include "update/records/file_info.h"

namespace fs = std::filesystem;
using fileservice::FileService;
using fileservice::Refusal;

namespace {

// A served folder beside a file outside it, deleted with the fixture.
class ServedFolder : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/fileservice-test-XXXXXX";
        base_ = mkdtemp(pattern);
        root_ = base_ / "served";
        Write("Admission.exe", "MZ");
        Write("Relatorio/RptScheduling.rav", "report");
        Write("Relatorio/Sub/Deep.DLL", "deep");
        Write("notes.txt", "n");
        Write("Meus Relat\xc3\xb3rios/a+b&c.rav", "plus");
        fs::create_directories(base_ / "outside");
        std::ofstream(base_ / "outside" / "secret.txt") << "secret";
        fs::create_symlink(base_ / "outside" / "secret.txt", root_ / "escape.txt");
        fs::create_directory_symlink(base_ / "outside", root_ / "OutsideLink");
        fs::create_symlink(root_ / "notes.txt", root_ / "inner-link.txt");
    }
    void TearDown() override { fs::remove_all(base_); }

    void Write(const std::string& name, const std::string& content) {
        fs::create_directories((root_ / name).parent_path());
        std::ofstream(root_ / name, std::ios::binary) << content;
    }

    static std::vector<std::string> Names(const std::vector<fileservice::ListedFile>& files) {
        std::vector<std::string> names;
        for (const auto& f : files) names.push_back(f.name);
        return names;
    }

    static int RefusalStatus(const std::function<void()>& call) {
        try {
            call();
        } catch (const Refusal& r) {
            return r.status;
        }
        return 0;
    }

    fs::path base_, root_;
};

TEST_F(ServedFolder, RecursiveListNamesFilesFromTheRootWithBackslashesAndNoLinkLeavingIt) {
    const FileService service(root_);
    EXPECT_EQ(Names(service.List("\\", "*.*", true)),
              (std::vector<std::string>{"Admission.exe", "Meus Relat\xc3\xb3rios\\a+b&c.rav",
                                        "Relatorio\\RptScheduling.rav", "Relatorio\\Sub\\Deep.DLL",
                                        "inner-link.txt", "notes.txt"}));
}

TEST_F(ServedFolder, FolderAndMaskNarrowTheList) {
    const FileService service(root_);
    EXPECT_EQ(Names(service.List("\\", "*.*", false)),
              (std::vector<std::string>{"Admission.exe", "inner-link.txt", "notes.txt"}));
    EXPECT_EQ(Names(service.List("relatorio", "*.dll", true)),
              (std::vector<std::string>{"Relatorio\\Sub\\Deep.DLL"}));
    EXPECT_EQ(Names(service.List("\\Relatorio", "", false)),
              (std::vector<std::string>{"Relatorio\\RptScheduling.rav"}));
    EXPECT_EQ(RefusalStatus([&] { service.List("Missing", "*.*", true); }), 404);
    EXPECT_EQ(RefusalStatus([&] { service.List("..", "*.*", true); }), 403);
    EXPECT_EQ(RefusalStatus([&] { service.List("OutsideLink", "*.*", true); }), 403);
    EXPECT_EQ(RefusalStatus([&] { service.List("notes.txt", "*.*", true); }), 404);
}

TEST_F(ServedFolder, AgesAreLocalClockTimeToTheMillisecond) {
    const char* previous = std::getenv("TZ");
    const std::string saved = previous ? previous : "";
    setenv("TZ", "<-03>3", 1);
    tzset();
    // 2022-01-10T17:32:05.123456Z, three hours behind UTC.
    const struct timespec times[2] = {{1641835925, 123456789}, {1641835925, 123456789}};
    ASSERT_EQ(utimensat(AT_FDCWD, (root_ / "Admission.exe").c_str(), times, 0), 0);
    const auto files = FileService(root_).List("", "Admission.exe", false);
    if (previous)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].age, "2022-01-10T14:32:05.123");
}

TEST_F(ServedFolder, ListJSONDecodesIntoTheLaunchersRecords) {
    const auto files = FileService(root_).List("\\", "*.*", true);
    TFilesInfoDTO list;
    TFilesInfoDTOHelper::FromJSON(list, Utf8ToWide(ListingJson(files)));
    ASSERT_EQ(list.size(), files.size());
    EXPECT_EQ(list[1]->FileName(), L"Meus Relat\u00f3rios\\a+b&c.rav");
    EXPECT_GT(list[0]->Age(), 40000.0);
    auto record = RecordFromJSON<TFileInfoErrorDTO>(
        Utf8ToWide(ErrorRecordJson(404, "Not Found", "File \"x\\y\" does not exist.")));
    EXPECT_EQ(record->Status(), 404);
    EXPECT_EQ(record->Detail(), L"File \"x\\y\" does not exist.");
}

TEST_F(ServedFolder, ResolvesNamesInsideOnlyAndIgnoresLetterCase) {
    // The same answers whether names are found by scanning each folder level or in the index of a
    // walk.
    const FileService service(root_);
    for (const bool indexed : {false, true}) {
        SCOPED_TRACE(indexed ? "indexed" : "scanned");
        std::unique_ptr<fileservice::ListingCache> cache;
        if (indexed)
            cache = std::make_unique<fileservice::ListingCache>(
                service,
                fileservice::ListingCacheOptions{std::chrono::milliseconds(0), std::chrono::seconds(0)});
        EXPECT_EQ(service.ResolveFile("Relatorio\\RptScheduling.rav"),
                  fs::canonical(root_ / "Relatorio/RptScheduling.rav"));
        EXPECT_EQ(service.ResolveFile("RELATORIO\\sub\\deep.dll"),
                  fs::canonical(root_ / "Relatorio/Sub/Deep.DLL"));
        EXPECT_EQ(service.ResolveFile("Relatorio/./RptScheduling.rav"),
                  fs::canonical(root_ / "Relatorio/RptScheduling.rav"));
        EXPECT_EQ(service.ResolveFile("inner-link.txt"), fs::canonical(root_ / "notes.txt"));
        EXPECT_EQ(service.ResolveFile("INNER-LINK.TXT"), fs::canonical(root_ / "notes.txt"));
        EXPECT_EQ(service.ListedFolder("relatorio\\SUB"), "Relatorio\\Sub");

        const struct {
            std::string name;
            int status;
        } refused[] = {
            {"..\\outside\\secret.txt", 403},
            {"Relatorio\\..\\..\\outside\\secret.txt", 403},
            {"Relatorio/../notes.txt", 403},
            {"/etc/passwd", 403},
            {"\\etc\\passwd", 403},
            {"\\\\server\\share\\x", 403},
            {"C:\\Windows\\win.ini", 403},
            {"notes.txt:stream", 403},
            {std::string("notes.txt\0.exe", 14), 403},
            {"escape.txt", 403},
            {"ESCAPE.txt", indexed ? 404 : 403},  // a link leaving the root is not indexed
            {"OutsideLink\\secret.txt", 403},
            {"outsidelink\\secret.txt", 403},
            {"missing.txt", 404},
            {"Relatorio\\missing.txt", 404},
            {"Relatorio", 404},
            {"", 400},
        };
        for (const auto& c : refused)
            EXPECT_EQ(RefusalStatus([&] { service.ResolveFile(c.name); }), c.status) << c.name;
    }
}

TEST_F(ServedFolder, AnIndexFindsNamesWithoutScanningAndNeverWidensWhatIsResolved) {
    const FileService service(root_);
    // As a walk made before Relatorio\New.rav was written and gone.txt removed; and entries no walk
    // would make, pointing at a link that leaves the root.
    auto index = std::make_shared<fileservice::NameIndex>();
    index->files = {{"NOTES.TXT", "notes.txt"},
                    {"GONE.TXT", "gone.txt"},
                    {"ESCAPE.TXT", "escape.txt"},
                    {"SECRET.TXT", "OutsideLink/secret.txt"}};
    index->folders = {{"RELATORIO", "Relatorio"}, {"OUTSIDELINK", "OutsideLink"}};
    service.UseIndex(index);
    Write("Relatorio/New.rav", "new");
    Write("Relatorio/Sub/Newer.rav", "newer");

    EXPECT_EQ(service.ResolveFile("nOTES.txt"), fs::canonical(root_ / "notes.txt"));
    EXPECT_EQ(service.ResolveFile("relatorio\\New.rav"), fs::canonical(root_ / "Relatorio/New.rav"));
    EXPECT_EQ(service.ResolveFile("Relatorio\\Sub\\Newer.rav"),
              fs::canonical(root_ / "Relatorio/Sub/Newer.rav"));
    const struct {
        const char* name;
        int status;
    } refused[] = {
        {"relatorio\\new.rav", 404},  // not in the index and not on disk as written: no scan finds it
        {"relatorio\\sub\\Newer.rav", 404}, {"gone.txt", 404},  {"escape.txt", 403}, {"secret.txt", 403},
        {"outsidelink\\secret.txt", 403},   {"relatorio", 404},
    };
    for (const auto& c : refused)
        EXPECT_EQ(RefusalStatus([&] { service.ResolveFile(c.name); }), c.status) << c.name;
}

TEST(FoldName, UpperCasesLettersAsTheLauncherComparesNames) {
    const struct {
        const char *name, *folded;
    } cases[] = {
        {"central.ini", "CENTRAL.INI"},
        {"Relatorio/Rpt-1_a.rav", "RELATORIO/RPT-1_A.RAV"},
        {"a\xc3\xa7\xc3\xa3o", "A\xc3\x87\xc3\x83O"},  // çã: Latin-1 Supplement
        {"\xc3\xbf\xc5\x91", "\xc5\xb8\xc5\x90"},      // ÿő: into and within Latin Extended-A
        {"stra\xc3\x9f"
         "e",
         "STRA\xc3\x9f"
         "E"},                                                 // ß has no single upper-case letter
        {"\xce\xb1\xd0\xb4", "\xce\x91\xd0\x94"},              // Greek and Cyrillic
        {"x\xff\xc3(\xe0\x80\xaf", "X\xff\xc3(\xe0\x80\xaf"},  // not UTF-8: bytes kept
    };
    for (const auto& c : cases) EXPECT_EQ(fileservice::FoldName(c.name), c.folded) << c.name;
}

TEST(MaskMatches, WildcardsIgnoringLetterCase) {
    const struct {
        const char* mask;
        const char* name;
        bool matches;
    } cases[] = {
        {"*.*", "README", true},        {"*.*", "a.b", true},           {"*.dll", "MIDAS.DLL", true},
        {"*.dll", "midas.dllx", false}, {"Rpt?.rav", "rpt1.RAV", true}, {"Rpt?.rav", "Rpt12.rav", false},
        {"*a*b*", "xxaxxbxx", true},    {"*a*b", "xxaxxbxxc", false},   {"", "x", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(fileservice::MaskMatches(c.mask, c.name), c.matches) << c.mask << " " << c.name;
}

// The front stores only what a workstation itself asks for: the service's idea of that query must be
// the launcher's own, byte for byte, or every workstation's download would go uncached.
TEST(FrontCache, TheQueriesTheServiceExpectsAreTheOnesTheLauncherSends) {
    const auto query = [](const std::wstring& url) {
        const std::string text = WideToUtf8(url);
        return text.substr(text.find('?') + 1);
    };
    for (const std::string name :
         {"Admission.exe", "Relatorio\\RptScheduling.rav", "Meus Relat\xc3\xb3rios\\a+b&c d.rav",
          "50% off*.dll", "x'y\"z#{}|^[]`<>.ini", "tab\there~!$()@;=,.txt", "\xe4\xb8\xad.rav"})
        EXPECT_EQ(fileservice::LauncherDownloadQuery(name),
                  query(DownloadURL(L"http://h/base", Utf8ToWide(name))))
            << name;
    const struct {
        std::string folder, mask;
        bool recursive;
    } lists[] = {{"\\", "*.*", true},
                 {"Meus Relat\xc3\xb3rios", "*.rav", false},
                 {"", "", true},
                 {"a b&c+d=e%f", "?x*", false},
                 {"", "*.dll", false}};
    for (const auto& l : lists) {
        const std::wstring url =
            FolderListURL(L"http://h/base", Utf8ToWide(l.folder), Utf8ToWide(l.mask), l.recursive);
        const std::string text = WideToUtf8(url);
        const size_t mark = text.find('?');
        EXPECT_EQ(fileservice::LauncherListQuery(l.folder, l.mask, l.recursive),
                  mark == std::string::npos ? std::string() : text.substr(mark + 1))
            << l.folder << " " << l.mask;
    }
}

}  // namespace
