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

// Read-only files and folders (tests make some) cannot be deleted on Windows until made writable.
void MakeWritable(const fs::path& folder) {
    std::error_code walking, ignored;
    for (fs::recursive_directory_iterator it(folder, walking), end; !walking && it != end;
         it.increment(walking))
        fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add, ignored);
}

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
        MakeWritable(dir_);
        fs::remove_all(dir_, ignored);
        if (!fs::exists(dir_, ignored)) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

TempFolder::Text TempFolder::Folder(const Text& name) const {
    fs::create_directories(dir_ / name);
    return (dir_ / name / "").native();
}

}  // namespace test_support
