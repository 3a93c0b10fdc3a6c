#include "update/disk/file_operations.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cwctype>
#include <vector>

#include "base/error.h"
#include "base/handles.h"
#include "base/paths.h"
#include "base/win32_error.h"
#include "update/stream/fetch_observer.h"
#include "update/stream/byte_sink.h"
#include "update/disk/file_ages.h"

namespace {

constexpr std::wstring_view kExtendedPrefix = L"\\\\?\\";
constexpr size_t kMaxFilePath = 260;
constexpr size_t kMaxFolderPath = 248;

const char* const kPathNotFound = "The specified path was not found";
const char* const kFileNotFound = "The specified file was not found";
const char* const kPathTooLong = "The specified path, file name, or both are too long";
const char* const kPathUnsupported = "The given path's format is not supported";

bool IsDirectory(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring_view WithoutExtendedPrefix(std::wstring_view path) {
    if (path.starts_with(kExtendedPrefix)) path.remove_prefix(kExtendedPrefix.size());
    return path;
}

// A colon is only valid as the drive letter's ("C:") once the extended prefix is off.
bool HasUnsupportedFormat(std::wstring_view path) {
    path = WithoutExtendedPrefix(path);
    const size_t colon = path.find(L':');
    if (colon == std::wstring_view::npos) return false;
    return colon != 1 || path.find(L':', colon + 1) != std::wstring_view::npos;
}

bool IsBlank(std::wstring_view path) {
    return std::all_of(path.begin(), path.end(), [](wchar_t c) { return std::iswspace(c) != 0; });
}

// Length of the part that names the volume: "C:\", "\\server\share\", "\\?\C:\" or a lone "\".
size_t RootLength(std::wstring_view path) {
    size_t start = 0;
    if (path.starts_with(kExtendedPrefix)) start = kExtendedPrefix.size();
    const std::wstring_view rest = path.substr(start);
    if (rest.size() >= 2 && rest[1] == L':') return start + (rest.size() >= 3 && rest[2] == L'\\' ? 3 : 2);
    if (start == 0 && path.starts_with(L"\\\\")) {
        const size_t server_end = path.find(L'\\', 2);
        if (server_end == std::wstring_view::npos) return path.size();
        const size_t share_end = path.find(L'\\', server_end + 1);
        return share_end == std::wstring_view::npos ? path.size() : share_end + 1;
    }
    return !rest.empty() && rest[0] == L'\\' ? start + 1 : start;
}

// A copy from the server folder that the workstation's disk could not take is the disk's failure;
// any other is the fetch's.
[[noreturn]] void ThrowCopyFailure() {
    const DWORD code = GetLastError();
    const bool disk = code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL;
    throw Win32Error(code, disk ? TErrorCategory::Disk : TErrorCategory::Fetch);
}

bool IsFileRefusal(DWORD code) {
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND || code == ERROR_ACCESS_DENIED ||
           code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION;
}

}  // namespace

bool FileExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        // Some file systems refuse even the attributes of a file held open without sharing; its
        // directory entry still tells.
        if (GetLastError() != ERROR_SHARING_VIOLATION) return false;
        WIN32_FIND_DATAW data;
        unique_find find(
            FindFirstFileExW(path.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0));
        return find && !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return false;
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return true;
    // A link: opening it without any access right follows it to the target.
    unique_file target(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return target || GetLastError() == ERROR_SHARING_VIOLATION;
}

bool ReadFileAge(const std::wstring& path, TDateTime& age) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return false;
    try {
        age = FileTimeToAge(data.ftLastWriteTime);
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

void ForceDirectories(const std::wstring& folder) {
    if (HasInvalidPathChars(folder)) throw Error("Invalid characters in path", TErrorCategory::Disk);
    if (IsBlank(folder)) throw Error("The path is empty", TErrorCategory::Disk);
    const DWORD needed = GetFullPathNameW(folder.c_str(), 0, nullptr, nullptr);
    if (needed == 0) ThrowLastError(TErrorCategory::Disk);
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(folder.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) ThrowLastError(TErrorCategory::Disk);
    full.resize(length);
    if (WithoutExtendedPrefix(full).size() >= kMaxFolderPath) throw Error(kPathTooLong, TErrorCategory::Disk);
    if (HasUnsupportedFormat(full)) throw Error(kPathUnsupported, TErrorCategory::Disk);
    while (full.size() > 1 && full.back() == L'\\') full.pop_back();
    if (IsDirectory(full)) return;

    const size_t root = RootLength(full);
    if (root > 0 && !IsDirectory(full.substr(0, root))) throw Error(kPathNotFound, TErrorCategory::Disk);
    size_t pos = root;
    while (pos <= full.size()) {
        size_t next = full.find(L'\\', pos);
        if (next == std::wstring::npos) next = full.size();
        const std::wstring prefix = full.substr(0, next);
        if (next > pos && !IsDirectory(prefix) && !CreateDirectoryW(prefix.c_str(), nullptr)) {
            const DWORD code = GetLastError();
            // Another fetch may have created it in the meantime.
            if (code != ERROR_ALREADY_EXISTS || !IsDirectory(prefix))
                throw Win32Error(code, TErrorCategory::Disk);
        }
        pos = next + 1;
    }
}

void CheckFilePath(const std::wstring& path, TErrorCategory category) {
    if (WithoutExtendedPrefix(path).size() >= kMaxFilePath) throw Error(kPathTooLong, category);
    if (IsBlank(path)) throw Error("The path is empty", category);
    if (HasInvalidPathChars(path)) throw Error("Invalid characters in path", category);
    if (HasUnsupportedFormat(path)) throw Error(kPathUnsupported, category);
    const std::wstring folder = FolderOf(path);
    if (!folder.empty() && !IsDirectory(folder)) throw Error(kPathNotFound, category);
}

void DeleteFileChecked(const std::wstring& path) {
    CheckFilePath(path);
    if (DeleteFileW(path.c_str())) return;
    const DWORD code = GetLastError();
    if (IsFileRefusal(code)) throw Win32Error(code, TErrorCategory::Disk);
}

void CopyFileNoOverwrite(const std::wstring& source, const std::wstring& target) {
    CheckFilePath(source, TErrorCategory::Fetch);
    if (!FileExists(source)) throw Error(kFileNotFound, TErrorCategory::Fetch);
    CheckFilePath(target);
    if (GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES)
        throw Win32Error(ERROR_FILE_EXISTS, TErrorCategory::Disk);
    if (!CopyFileW(source.c_str(), target.c_str(), TRUE)) ThrowCopyFailure();
}

void CopyFileNoOverwrite(const std::wstring& source, const std::wstring& target, IFetchObserver& observer) {
    CheckFilePath(source, TErrorCategory::Fetch);
    if (!FileExists(source)) throw Error(kFileNotFound, TErrorCategory::Fetch);
    CheckFilePath(target);
    unique_file in(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!in) ThrowLastError(TErrorCategory::Fetch);
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(in.get(), &info)) ThrowLastError(TErrorCategory::Fetch);
    unique_file out(
        CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) ThrowLastError(TErrorCategory::Disk);
    observer.Begin(0, (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow);
    // Large pieces keep a share copy near CopyFileW's speed.
    std::vector<char> buffer(1u << 20);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(in.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr))
            ThrowLastError(TErrorCategory::Fetch);
        if (read == 0) break;
        observer.Received(buffer.data(), read);
        DWORD written = 0;
        if (!WriteFile(out.get(), buffer.data(), read, &written, nullptr) || written != read)
            ThrowLastError(TErrorCategory::Disk);
    }
    if (!SetFileTime(out.get(), nullptr, nullptr, &info.ftLastWriteTime))
        ThrowLastError(TErrorCategory::Disk);
}

void CopyFileInto(const std::wstring& source, IByteSink& sink, IFetchObserver* observer, uint64_t AFrom) {
    CheckFilePath(source, TErrorCategory::Fetch);
    if (!FileExists(source)) {
        // The code tells a file the folder does not hold from a folder that could not be asked (a
        // share gone, access denied): only the first is an answer about the file.
        const DWORD why = GetLastError();
        throw Error(
            kFileNotFound, TErrorCategory::Fetch,
            Win32Code(why == ERROR_SUCCESS || why == ERROR_SHARING_VIOLATION ? ERROR_FILE_NOT_FOUND : why));
    }
    unique_file in(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!in) ThrowLastError(TErrorCategory::Fetch);
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(in.get(), &size)) ThrowLastError(TErrorCategory::Fetch);
    const uint64_t total = static_cast<uint64_t>(size.QuadPart);
    const uint64_t from = AFrom <= total ? AFrom : 0;
    if (from > 0) {
        LARGE_INTEGER position{};
        position.QuadPart = static_cast<LONGLONG>(from);
        if (!SetFilePointerEx(in.get(), position, nullptr, FILE_BEGIN)) ThrowLastError(TErrorCategory::Fetch);
    }
    if (observer) observer->Begin(from, total);
    sink.Begin(from, total);
    // Large pieces keep a share copy near CopyFileW's speed; a small file needs no more than its size.
    std::vector<char> buffer(static_cast<size_t>(std::clamp<uint64_t>(total + 1, 4096, 1u << 20)));
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(in.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr))
            ThrowLastError(TErrorCategory::Fetch);
        if (read == 0) break;
        if (observer) observer->Received(buffer.data(), read);
        sink.Write(buffer.data(), read);
    }
}

void SetFileAge(const std::wstring& path, TDateTime age) {
    CheckFilePath(path);
    if (!FileExists(path)) throw Error(kFileNotFound, TErrorCategory::Disk);
    const FILETIME time = AgeToFileTime(age);
    unique_file file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    if (!SetFileTime(file.get(), nullptr, nullptr, &time)) ThrowLastError(TErrorCategory::Disk);
}

void SetFileAgeStrict(const std::wstring& path, TDateTime age) {
    const FILETIME time = AgeToFileTime(age);
    unique_file file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) ThrowLastError(TErrorCategory::Disk);
    if (!SetFileTime(file.get(), nullptr, nullptr, &time)) ThrowLastError(TErrorCategory::Disk);
}

std::vector<TListedFile> ListFilesUnder(const std::wstring& root) {
    std::vector<TListedFile> files;
    std::vector<std::wstring> folders{root};
    bool at_root = true;
    while (!folders.empty()) {
        const std::wstring folder = std::move(folders.back());
        folders.pop_back();
        WIN32_FIND_DATAW data;
        // The basic information level skips the short names, and the large fetch asks the server for
        // big batches of entries: both matter on a share with tens of thousands of files.
        unique_find find(FindFirstFileExW((folder + L"*").c_str(), FindExInfoBasic, &data,
                                          FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH));
        if (!find) {
            const DWORD code = GetLastError();
            if (code == ERROR_FILE_NOT_FOUND || code == ERROR_NO_MORE_FILES) {
                at_root = false;
                continue;
            }
            if (at_root) {
                if (code == ERROR_PATH_NOT_FOUND || code == ERROR_DIRECTORY || code == ERROR_INVALID_NAME ||
                    code == ERROR_BAD_NETPATH || code == ERROR_BAD_NET_NAME || code == ERROR_INVALID_DRIVE)
                    throw Error(kPathNotFound, TErrorCategory::Listing);
                throw Win32Error(code, TErrorCategory::Listing);
            }
            // A subfolder that vanished or that we may not read holds nothing we could fetch.
            if (code == ERROR_PATH_NOT_FOUND || code == ERROR_ACCESS_DENIED) continue;
            throw Win32Error(code, TErrorCategory::Listing);
        }
        at_root = false;
        do {
            const std::wstring_view name(data.cFileName);
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                if (name == L"." || name == L"..") continue;
                if (!(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                    folders.push_back(folder + std::wstring(name) + L'\\');
                }
                continue;
            }
            TListedFile file{folder + std::wstring(name), 0.0};
            try {
                file.Age = FileTimeToAge(data.ftLastWriteTime);
            } catch (const std::exception&) {
                continue;  // a time the calendar cannot hold: no age to compare, so nothing to fetch
            }
            files.push_back(std::move(file));
        } while (FindNextFileW(find.get(), &data));
        if (GetLastError() != ERROR_NO_MORE_FILES) throw Win32Error(GetLastError(), TErrorCategory::Listing);
    }
    return files;
}

std::wstring TemporaryNameBeside(const std::wstring& target) {
    // Short and independent of the target's name, so that it fits wherever the target fits; the
    // process id and a counter keep two updaters, or two launchers, apart.
    static std::atomic<unsigned> counter{0};
    return FolderOf(target) + L"~aur" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(++counter) + L".tmp";
}

void CheckReplaceable(const std::wstring& target) {
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return;
        throw Win32Error(code, TErrorCategory::Disk);
    }
    if (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY))
        throw Win32Error(ERROR_ACCESS_DENIED, TErrorCategory::Disk);
    // Replacing needs the right to delete, which a process that holds the file without sharing denies.
    unique_file probe(CreateFileW(target.c_str(), DELETE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!probe) {
        const DWORD code = GetLastError();
        if (code != ERROR_FILE_NOT_FOUND) throw Win32Error(code, TErrorCategory::Disk);
    }
}

void FlushFileToDisk(const std::wstring& path) {
    // Flushing needs the right to write, which a read-only file refuses: lift the attribute for it.
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) ThrowLastError(TErrorCategory::Disk);
    const bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (readOnly && !SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY))
        ThrowLastError(TErrorCategory::Disk);
    struct RestoreAttributes {
        const std::wstring& path;
        DWORD attributes;
        bool readOnly;
        ~RestoreAttributes() {
            if (readOnly) SetFileAttributesW(path.c_str(), attributes);
        }
    } restore{path, attributes, readOnly};
    unique_file file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) ThrowLastError(TErrorCategory::Disk);
    if (!FlushFileBuffers(file.get())) ThrowLastError(TErrorCategory::Disk);
}

void ReplaceWithTemporary(const std::wstring& temporary, const std::wstring& target) {
    CheckReplaceable(target);
    FlushFileToDisk(temporary);
    if (!MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        ThrowLastError(TErrorCategory::Disk);
}

void DiscardTemporary(const std::wstring& temporary) noexcept {
    const DWORD attributes = GetFileAttributesW(temporary.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(temporary.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    DeleteFileW(temporary.c_str());
}
