#include "updater_fixtures.h"

#include <algorithm>
#include <atomic>
#include <stdexcept>

#include "base/paths.h"
#include "update/file_operations.h"

namespace {

void RemoveTree(const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring path = folder + name;
            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path + L"\\");
            else
                DeleteFileW(path.c_str());
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(folder.c_str());
}

void CollectFiles(const std::wstring& root, const std::wstring& relative, std::vector<std::wstring>& out) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((root + relative + L"*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            CollectFiles(root, relative + name + L"\\", out);
        else
            out.push_back(relative + name);
    } while (FindNextFileW(find, &data));
    FindClose(find);
}

}  // namespace

namespace {
std::wstring SystemTempFolder() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    return temp;
}
}  // namespace

TempFolder::TempFolder() : TempFolder(SystemTempFolder()) {}

TempFolder::TempFolder(const std::wstring& parent) {
    static std::atomic<int> counter{0};
    path_ = parent + L"aurevia-updater-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(++counter) + L"-" + std::to_wstring(GetTickCount64()) + L"\\";
    if (!CreateDirectoryW(path_.c_str(), nullptr))
        throw std::runtime_error("cannot create the temporary folder");
}

TempFolder::~TempFolder() { RemoveTree(path_); }

void WriteFileAt(const std::wstring& path, const std::string& content, TDateTime age) {
    ForceDirectories(FolderOf(path));
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot write a test file");
    DWORD written = 0;
    WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(file);
    SetFileAge(path, age);
}

std::string ReadWholeFile(const std::wstring& path) {
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "<missing>";
    std::string content(GetFileSize(file, nullptr), '\0');
    DWORD read = 0;
    if (!content.empty()) ReadFile(file, content.data(), static_cast<DWORD>(content.size()), &read, nullptr);
    CloseHandle(file);
    return content;
}

TDateTime AgeOf(const std::wstring& path) {
    TDateTime age = -1;
    ReadFileAge(path, age);
    return age;
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
    if (handle_ == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot hold the test file open");
}

HeldOpen::~HeldOpen() { CloseHandle(handle_); }

TDateTime LocalAge(int year, int month, int day, int hour, int minute, int second, int ms) {
    return EncodeDateTime(DateTimeParts{year, month, day, hour, minute, second, ms});
}
