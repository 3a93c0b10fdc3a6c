#pragma once
// Folder checks that follow symbolic links, as users expect of a link to a folder.
#include <string>

bool FolderExists(const std::wstring& APath);
// Creates the folder (one level) unless it exists; false when it could not be created.
bool EnsureFolder(const std::wstring& APath);

// A file (not a folder) exists at the path; a link is followed to its target.
bool FileExistsFollowingLinks(const std::wstring& APath);
