// The log writer on real files: rotation, two writers racing on one file, a log that cannot be
// written.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/event_log.h"
#include "tests/support/test_files.h"

namespace {

std::vector<std::string> LinesOf(const std::wstring& path) {
    std::vector<std::string> lines;
    if (!PathExists(path)) return lines;
    std::istringstream in(ReadWholeFile(path));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string Line(const std::string& AWriter, int AIndex) {
    return TLogLine(TLogLevel::Info, "test").Add("writer", AWriter).Add("n", AIndex).Text(LocalLogTime());
}

}  // namespace

TEST(EventLog, RotatesBySizeKeepingTheNewestFilesWithWholeLines) {
    TempFolder folder;
    const std::wstring path = folder / L"Aurevia\\Aurevia.log";
    {
        TEventLogWriter writer({path, 1000, 3, 4096});
        for (int i = 0; i < 100; ++i) {
            writer.Write(Line("a", i));
            // One line per batch, so that every file fills up to its limit.
            writer.Flush();
        }
    }
    EXPECT_FALSE(PathExists(folder / L"Aurevia\\Aurevia.3.log"));
    std::vector<std::string> all;
    for (const wchar_t* name : {L"Aurevia.2.log", L"Aurevia.1.log", L"Aurevia.log"}) {
        const std::wstring file = folder / (std::wstring(L"Aurevia\\") + name);
        ASSERT_TRUE(PathExists(file));
        WIN32_FILE_ATTRIBUTE_DATA data;
        ASSERT_TRUE(GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &data));
        EXPECT_LE(data.nFileSizeLow, 1000u) << name;
        for (std::string& line : LinesOf(file)) all.push_back(std::move(line));
    }
    // The newest lines, in order and whole, up to the last one written.
    ASSERT_FALSE(all.empty());
    EXPECT_NE(all.back().find(" INFO test writer=a n=99\r"), std::string::npos) << all.back();
    for (size_t i = 1; i < all.size(); ++i) {
        const int previous = std::stoi(all[i - 1].substr(all[i - 1].rfind("n=") + 2));
        EXPECT_EQ(std::stoi(all[i].substr(all[i].rfind("n=") + 2)), previous + 1);
    }
}

TEST(EventLog, TwoWritersOnOneFileLoseNoLineWhenBothRotate) {
    // Two writers (as two launchers of one user would) append and rotate the same file at once;
    // with enough generations kept, every line of both is in some file, once and whole.
    TempFolder folder;
    const std::wstring path = folder / L"Aurevia.log";
    constexpr int kLines = 400;
    {
        TEventLogWriter first({path, 2000, 100, 4096});
        TEventLogWriter second({path, 2000, 100, 4096});
        std::thread a([&] {
            for (int i = 0; i < kLines; ++i) first.Write(Line("first", i));
        });
        std::thread b([&] {
            for (int i = 0; i < kLines; ++i) second.Write(Line("second", i));
        });
        a.join();
        b.join();
    }
    std::multiset<std::string> seen;
    for (int generation = 0; generation < 100; ++generation) {
        const std::wstring file =
            generation == 0 ? path : folder / (L"Aurevia." + std::to_wstring(generation) + L".log");
        for (const std::string& line : LinesOf(file)) {
            ASSERT_EQ(line.find("INFO test writer="), 30u) << line;
            seen.insert(line.substr(line.find("writer=")));
        }
    }
    EXPECT_EQ(seen.size(), 2u * kLines);
    for (const char* writer : {"first", "second"})
        for (int i = 0; i < kLines; ++i) {
            const std::string key = std::string("writer=") + writer + " n=" + std::to_string(i) + "\r";
            EXPECT_EQ(seen.count(key), 1u) << key;
        }
}

TEST(EventLog, AFullQueueDropsLinesAndALaterLineCountsThem) {
    // A queue of two lines against a burst of a thousand: the writer cannot keep up, so most are
    // dropped; whatever is written plus what the count lines report is every line of the burst.
    TempFolder folder;
    const std::wstring path = folder / L"Aurevia.log";
    constexpr int kLines = 1000;
    {
        TEventLogWriter writer({path, 2u << 20, 3, 2});
        for (int i = 0; i < kLines; ++i) writer.Write(Line("burst", i));
        writer.Flush();
        writer.Write(Line("after", 0));  // a later line carries the count of what was dropped before
    }
    int written = 0;
    uint64_t dropped = 0;
    for (const std::string& line : LinesOf(path)) {
        if (line.find(" INFO test writer=burst ") != std::string::npos) ++written;
        const size_t count = line.find(" WARN log-dropped lines=");
        if (count != std::string::npos) dropped += std::stoull(line.substr(count + 24));
    }
    EXPECT_GT(dropped, 0u);
    EXPECT_EQ(written + dropped, static_cast<uint64_t>(kLines));
}

TEST(EventLog, AFileInPlaceOfTheFolderCostsTheLinesAndNothingElse) {
    TempFolder folder;
    WriteWholeFile(folder / L"Aurevia", "not a folder");
    TEventLogWriter writer({folder / L"Aurevia\\Aurevia.log"});
    for (int i = 0; i < 10; ++i) writer.Write(Line("a", i));
    writer.Flush();
    EXPECT_EQ(ReadWholeFile(folder / L"Aurevia"), "not a folder");
}

TEST(EventLog, TheProcessLogGoesUnderTheUsersLocalApplicationData) {
    wchar_t saved[MAX_PATH] = {};
    GetEnvironmentVariableW(L"LOCALAPPDATA", saved, MAX_PATH);
    SetEnvironmentVariableW(L"LOCALAPPDATA", L"C:\\Users\\nurse\\AppData\\Local");
    EXPECT_EQ(DefaultEventLogPath(), L"C:\\Users\\nurse\\AppData\\Local\\Aurevia\\Aurevia.log");
    SetEnvironmentVariableW(L"LOCALAPPDATA", saved);
}
