#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "tools/fileservice/file_service.h"
#include "base/string_convert.h"
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
    TFilesInfoDTOHelper::FromJSON(list, Utf8ToWide(fileservice::FileListJSON(files)));
    ASSERT_EQ(list.size(), files.size());
    EXPECT_EQ(list[1]->FileName(), L"Meus Relat\u00f3rios\\a+b&c.rav");
    EXPECT_GT(list[0]->Age(), 40000.0);
    auto record = RecordFromJSON<TFileInfoErrorDTO>(
        Utf8ToWide(fileservice::ErrorRecordJSON({404, "Not Found", "File \"x\\y\" does not exist."})));
    EXPECT_EQ(record->Status(), 404);
    EXPECT_EQ(record->Detail(), L"File \"x\\y\" does not exist.");
}

TEST_F(ServedFolder, ResolvesNamesInsideOnlyAndIgnoresLetterCase) {
    const FileService service(root_);
    EXPECT_EQ(service.ResolveFile("Relatorio\\RptScheduling.rav"),
              fs::canonical(root_ / "Relatorio/RptScheduling.rav"));
    EXPECT_EQ(service.ResolveFile("RELATORIO\\sub\\deep.dll"),
              fs::canonical(root_ / "Relatorio/Sub/Deep.DLL"));
    EXPECT_EQ(service.ResolveFile("Relatorio/./RptScheduling.rav"),
              fs::canonical(root_ / "Relatorio/RptScheduling.rav"));
    EXPECT_EQ(service.ResolveFile("inner-link.txt"), fs::canonical(root_ / "notes.txt"));

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
        {"OutsideLink\\secret.txt", 403},
        {"missing.txt", 404},
        {"Relatorio", 404},
        {"", 400},
    };
    for (const auto& c : refused)
        EXPECT_EQ(RefusalStatus([&] { service.ResolveFile(c.name); }), c.status) << c.name;
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

TEST(RawQuery, TakesTheRestOfTheQueryAndDecodesOnlyPercentEscapes) {
    EXPECT_EQ(fileservice::RawQueryTail("/download?file=a+b&c=d.txt", "file"), "a+b&c=d.txt");
    EXPECT_EQ(fileservice::RawQueryTail("/x//download?v=1&file=x", "file"), "x");
    EXPECT_EQ(fileservice::RawQueryTail("/download?profile=x", "file"), std::nullopt);
    EXPECT_EQ(fileservice::RawQueryTail("/download", "file"), std::nullopt);
    EXPECT_EQ(fileservice::PercentDecode("Relatorio%5CRpt%20x+y%C3%A7%zz%4"),
              "Relatorio\\Rpt x+y\xc3\xa7%zz%4");
}

}  // namespace
