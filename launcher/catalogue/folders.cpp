#include "launcher/catalogue/folders.h"

#include <windows.h>

#include "base/handles.h"

namespace {

// The attributes of what the path leads to, a link followed to its target; false when nothing is
// there. Opening with backup semantics reaches folders as well as files.
bool TargetAttributes(const std::wstring& APath, DWORD& AAttributes) {
    unique_file target(CreateFileW(APath.c_str(), FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!target) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(target.get(), &info)) return false;
    AAttributes = info.dwFileAttributes;
    return true;
}

}  // namespace

bool FolderExists(const std::wstring& APath) {
    DWORD attributes = GetFileAttributesW(APath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return true;
    // A link: it counts when its target is a folder that exists.
    return TargetAttributes(APath, attributes) && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool EnsureFolder(const std::wstring& APath) {
    return FolderExists(APath) || CreateDirectoryW(APath.c_str(), nullptr) != FALSE;
}

bool FileExistsFollowingLinks(const std::wstring& APath) {
    DWORD attributes = 0;
    return TargetAttributes(APath, attributes) && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}
