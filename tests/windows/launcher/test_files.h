#pragma once
// Small helpers for the self-update's and the support tools' tests on real files under Wine (in the
// temporary folder of support/temp_folder.h): a current directory and an environment variable that
// are put back, and copies of an executable with another fixed file version.
#include <windows.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "support/temp_folder.h"

namespace testfiles {

namespace fs = std::filesystem;
using test_support::TempFolder;

class CurrentDirectoryScope {
  public:
    explicit CurrentDirectoryScope(const fs::path& folder) : previous_(fs::current_path()) {
        fs::current_path(folder);
    }
    ~CurrentDirectoryScope() {
        std::error_code ignored;
        fs::current_path(previous_, ignored);
    }
    CurrentDirectoryScope(const CurrentDirectoryScope&) = delete;
    CurrentDirectoryScope& operator=(const CurrentDirectoryScope&) = delete;

  private:
    fs::path previous_;
};

class EnvScope {
  public:
    EnvScope(const wchar_t* name, const std::wstring& value) : name_(name) {
        wchar_t buffer[4096];
        const DWORD length = GetEnvironmentVariableW(name, buffer, 4096);
        had_ = length > 0 && length < 4096;
        if (had_) previous_.assign(buffer, length);
        SetEnvironmentVariableW(name, value.c_str());
    }
    ~EnvScope() { SetEnvironmentVariableW(name_.c_str(), had_ ? previous_.c_str() : nullptr); }
    EnvScope(const EnvScope&) = delete;
    EnvScope& operator=(const EnvScope&) = delete;

  private:
    std::wstring name_;
    std::wstring previous_;
    bool had_ = false;
};

inline void WriteBytes(const fs::path& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out) throw std::runtime_error("cannot write " + file.string());
}

inline std::string ReadBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Empties a folder but keeps it (it may be the current directory, which cannot be removed).
inline void ClearFolder(const fs::path& folder) {
    for (const auto& entry : fs::directory_iterator(folder)) fs::remove_all(entry.path());
}

inline bool Exists(const fs::path& file) { return fs::exists(file); }

// Copies an executable, writing another fixed file version into the copy's version resource (the
// block after the signature 0xFEEF04BD). Byte for byte otherwise, so the copy still runs.
inline void CopyWithFileVersion(const fs::path& from, const fs::path& to,
                                std::array<std::uint16_t, 4> parts) {
    std::string bytes = ReadBytes(from);
    // The signature followed by the structure version 1.0; the program's own code may hold the bare
    // signature as a constant (this very function does), the resource comes last.
    static constexpr char kSignature[] = {'\xBD', '\x04', '\xEF', '\xFE', '\x00', '\x00', '\x01', '\x00'};
    const auto at = bytes.rfind(std::string(kSignature, 8));
    if (at == std::string::npos || at + 16 > bytes.size()) throw std::runtime_error("no version resource");
    const std::uint32_t ms = (std::uint32_t{parts[0]} << 16) | parts[1];
    const std::uint32_t ls = (std::uint32_t{parts[2]} << 16) | parts[3];
    std::memcpy(&bytes[at + 8], &ms, 4);
    std::memcpy(&bytes[at + 12], &ls, 4);
    WriteBytes(to, bytes);
}

inline fs::path ThisProgram() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

// Moves a file's last-write time by whole seconds.
inline void ShiftLastWriteTime(const fs::path& file, long long seconds) {
    HANDLE h = CreateFileW(file.c_str(), FILE_WRITE_ATTRIBUTES | FILE_READ_ATTRIBUTES, FILE_SHARE_READ,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + file.string());
    FILETIME ft;
    GetFileTime(h, nullptr, nullptr, &ft);
    ULARGE_INTEGER t{{ft.dwLowDateTime, ft.dwHighDateTime}};
    t.QuadPart += seconds * 10'000'000LL;
    ft = {t.LowPart, t.HighPart};
    SetFileTime(h, nullptr, nullptr, &ft);
    CloseHandle(h);
}

// Sets a file's last-write time to a fixed local moment (even seconds unless told otherwise).
inline void SetLastWriteTime(const fs::path& file, WORD year, WORD month, WORD day, WORD hour, WORD minute,
                             WORD second) {
    SYSTEMTIME local{year, month, 0, day, hour, minute, second, 0};
    FILETIME localFt, utc;
    SystemTimeToFileTime(&local, &localFt);
    LocalFileTimeToFileTime(&localFt, &utc);
    HANDLE h = CreateFileW(file.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + file.string());
    SetFileTime(h, nullptr, nullptr, &utc);
    CloseHandle(h);
}

}  // namespace testfiles
