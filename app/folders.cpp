#include "app/folders.h"

#include <windows.h>

#include "base/handles.h"

bool FolderExists(const std::wstring& APath) {
    const DWORD attributes = GetFileAttributesW(APath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return true;
    // A link: it counts when its target is a folder that exists.
    unique_file target(CreateFileW(APath.c_str(), FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!target) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    return GetFileInformationByHandle(target.get(), &info) &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool EnsureFolder(const std::wstring& APath) {
    return FolderExists(APath) || CreateDirectoryW(APath.c_str(), nullptr) != FALSE;
}

bool FileExistsFollowingLinks(const std::wstring& APath) {
    unique_file file(CreateFileW(APath.c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    return GetFileInformationByHandle(file.get(), &info) &&
           !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}
