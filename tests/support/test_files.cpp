#include "support/test_files.h"

#include <algorithm>
#include <stdexcept>

#include "base/handles.h"
#include "base/paths.h"

namespace {

void CollectFiles(const std::wstring& root, const std::wstring& relative, std::vector<std::wstring>& out) {
    WIN32_FIND_DATAW data;
    unique_find find(FindFirstFileW((root + relative + L"*").c_str(), &data));
    if (!find) return;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            CollectFiles(root, relative + name + L"\\", out);
        else
            out.push_back(relative + name);
    } while (FindNextFileW(find.get(), &data));
}

// Creates folder ("...\") and the folders above it that are missing.
void CreateFolders(const std::wstring& folder) {
    for (size_t at = folder.find(L'\\', 3); at != std::wstring::npos; at = folder.find(L'\\', at + 1))
        CreateDirectoryW(folder.substr(0, at).c_str(), nullptr);
}

}  // namespace

void WriteWholeFile(const std::wstring& path, const std::string& content) {
    CreateFolders(FolderOf(path));
    unique_file file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!file ||
        !WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr) ||
        written != content.size())
        throw std::runtime_error("cannot write a test file");
}

void WriteFileAt(const std::wstring& path, const std::string& content, TDateTime age) {
    WriteWholeFile(path, content);
    // Local to UTC with the offset in effect now, as the launcher's ages are.
    const DateTimeParts p = DecodeDateTime(age);
    const SYSTEMTIME local{
        static_cast<WORD>(p.year),   static_cast<WORD>(p.month),      0,
        static_cast<WORD>(p.day),    static_cast<WORD>(p.hour),       static_cast<WORD>(p.minute),
        static_cast<WORD>(p.second), static_cast<WORD>(p.millisecond)};
    FILETIME localTime{}, utc{};
    unique_file file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file || !SystemTimeToFileTime(&local, &localTime) || !LocalFileTimeToFileTime(&localTime, &utc) ||
        !SetFileTime(file.get(), nullptr, nullptr, &utc))
        throw std::runtime_error("cannot set a test file's last-write time");
}

std::string ReadWholeFile(const std::wstring& path) {
    unique_file file(
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return "<missing>";
    std::string content(GetFileSize(file.get(), nullptr), '\0');
    DWORD read = 0;
    if (!content.empty())
        ReadFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &read, nullptr);
    content.resize(read);
    return content;
}

bool PathExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

TDateTime AgeOf(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return -1;
    FILETIME local;
    SYSTEMTIME t;
    if (!FileTimeToLocalFileTime(&data.ftLastWriteTime, &local) || !FileTimeToSystemTime(&local, &t))
        return -1;
    return EncodeDateTime({t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds});
}

void SetReadOnly(const std::wstring& path, bool readOnly) {
    SetFileAttributesW(path.c_str(), readOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL);
}

std::vector<std::wstring> FilesUnder(const std::wstring& folder) {
    std::vector<std::wstring> files;
    CollectFiles(folder, L"", files);
    std::sort(files.begin(), files.end());
    return files;
}

HeldOpen::HeldOpen(const std::wstring& path)
    : handle_(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)) {
    if (!handle_) throw std::runtime_error("cannot hold the test file open");
}

TDateTime LocalAge(int year, int month, int day, int hour, int minute, int second, int ms) {
    return EncodeDateTime(DateTimeParts{year, month, day, hour, minute, second, ms});
}
