#include "support/temp_folder.h"

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace test_support {

namespace {

unsigned long ProcessNumber() {
#ifdef _WIN32
    return GetCurrentProcessId();
#else
    return static_cast<unsigned long>(getpid());
#endif
}

#ifndef _WIN32
// Read-only folders (tests make some) cannot be emptied until made writable.
void MakeWritable(const fs::path& folder) {
    std::error_code walking, ignored;
    for (fs::recursive_directory_iterator it(folder, walking), end; !walking && it != end;
         it.increment(walking))
        fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add, ignored);
}
#endif

#ifdef _WIN32
// The folder and everything in it, links included but never followed. std::filesystem's walk
// under Wine spins for good on a link whose target is gone (a test may leave one behind, as the
// publisher's generations do when their target is deleted first), so the walk is the system's own.
void RemoveTree(const std::wstring& folder, int depth) {
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring path = folder + L"\\" + name;
            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);  // tests make some read-only
            const bool isFolder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            const bool isLink = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
            if (isFolder && !isLink && depth < 64) RemoveTree(path, depth + 1);
            if (isFolder) RemoveDirectoryW(path.c_str());
            if (!isFolder || isLink) DeleteFileW(path.c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
}
#endif

}  // namespace

TempFolder::TempFolder() : TempFolder(fs::temp_directory_path()) {}

TempFolder::TempFolder(const fs::path& parent) {
    // The counter tells this process's folders apart; the clock, those of an earlier process that
    // had the same number and did not get to remove its own.
    static std::atomic<unsigned> counter{0};
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    for (int attempt = 0;; ++attempt) {
        const std::string name = "aurevia-test-" + std::to_string(ProcessNumber()) + "-" +
                                 std::to_string(++counter) + "-" + std::to_string(now);
        std::error_code error;
        dir_ = parent / name;
        if (fs::create_directory(dir_, error)) break;
        if (error || attempt == 100) throw std::runtime_error("cannot create a temporary folder");
    }
    path_ = (dir_ / "").native();
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    // A program that a test has just ended may still hold its files for a moment.
    for (int attempt = 0; attempt < 20; ++attempt) {
#ifdef _WIN32
        RemoveTree(dir_.native(), 0);
#else
        MakeWritable(dir_);
        fs::remove_all(dir_, ignored);
#endif
        if (!fs::exists(dir_, ignored)) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

TempFolder::Text TempFolder::Folder(const Text& name) const {
    fs::create_directories(dir_ / name);
    return (dir_ / name / "").native();
}

}  // namespace test_support
