#include "launcher/self_update/launcher_files.h"

#include <windows.h>

#include <vector>

#include "launcher/self_update/version_string.h"
#include "base/handles.h"

namespace {

const VS_FIXEDFILEINFO* FixedFileInfo(const std::wstring& fileName, std::vector<BYTE>& info) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(fileName.c_str(), &ignored);
    if (size == 0) return nullptr;
    info.resize(size);
    if (!GetFileVersionInfoW(fileName.c_str(), 0, size, info.data())) return nullptr;
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    if (!VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize) || !fixed ||
        fixedSize < sizeof(VS_FIXEDFILEINFO))
        return nullptr;
    return fixed;
}

}  // namespace

std::optional<TFileVersion> FileFullVersionOf(const std::wstring& fileName) {
    std::vector<BYTE> info;
    const VS_FIXEDFILEINFO* fixed = FixedFileInfo(fileName, info);
    if (!fixed) return std::nullopt;
    return FileVersionParts(fixed->dwFileVersionMS, fixed->dwFileVersionLS);
}

std::wstring FileVersionOf(const std::wstring& fileName) {
    std::vector<BYTE> info;
    const VS_FIXEDFILEINFO* fixed = FixedFileInfo(fileName, info);
    if (!fixed) return {};
    return VersionString(fixed->dwFileVersionMS, fixed->dwFileVersionLS);
}

std::int64_t FileSizeOf(const std::wstring& fileName) {
    const unique_file file(
        CreateFileW(fileName.c_str(), 0, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return -1;
    DWORD high = 0;
    const DWORD low = GetFileSize(file.get(), &high);
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(high) << 32) | low);
}

std::int32_t FileDosAge(const std::wstring& fileName) {
    WIN32_FIND_DATAW data{};
    const unique_find find(FindFirstFileW(fileName.c_str(), &data));
    if (!find || (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return -1;
    FILETIME local{};
    WORD date = 0, time = 0;
    if (!FileTimeToLocalFileTime(&data.ftLastWriteTime, &local) ||
        !FileTimeToDosDateTime(&local, &date, &time))
        return -1;
    return static_cast<std::int32_t>((static_cast<std::uint32_t>(date) << 16) | time);
}

std::wstring CurrentDirectory() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
        if (length == 0) return {};
        if (length < buffer.size()) {
            buffer.resize(length);
            break;
        }
        buffer.resize(length);
    }
    if (buffer.size() > 3 && buffer.back() == L'\\') buffer.pop_back();
    return buffer;
}
