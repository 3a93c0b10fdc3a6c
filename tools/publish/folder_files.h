#pragma once
// The files a release manifest lists for a server folder: every regular file under it, named as the
// launcher names it (relative, backslashes between levels), with its size and SHA-256 read in one
// streamed pass. The walk mirrors what the reference file service serves, so that the manifest
// names exactly the files a workstation can fetch:
//  - a link to a file inside the folder is listed (with its target's content);
//  - a link that leads out of the folder, a link to a folder, a broken link and anything that is not
//    a regular file (pipe, socket, device) is skipped with a warning on standard error;
//  - the manifest and its signature at the root, the release-control entries at the root
//    (aurevia-objects/, aurevia-releases/, aurevia-rollout.json and .sig, aurevia-root/, the
//    folder's aurevia-deployment: they are not part of the flat folder), and the "~aur*.tmp"
//    temporaries, are skipped.
// Anything the walk cannot read (a file or folder without permission) fails the walk: a manifest
// must not silently leave out a file that the service might serve later. So does a name that a
// Windows workstation cannot hold (a device name such as CON or nul.dll, a trailing dot or space).
#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "update/trust/release_manifest.h"

namespace publish {

// One file of a walk: what the manifest lists, and what the checks before publishing need.
struct FolderFile {
    TManifestFile File;
    std::filesystem::path Path;
    dev_t Device = 0;  // of the content (a link's target)
    ino_t Inode = 0;
    int64_t AgeUnix = 0;               // last-write time, whole seconds
    bool LooksLikePrivateKey = false;  // a PEM private key block at the start of a line, early on
};

// Sorted by name (byte order). Raises PublishError(Failed) for what cannot be read or named, and
// with `windowsNames` for a name a Windows workstation cannot take.
std::vector<FolderFile> ListFolderEntries(const std::filesystem::path& folder, bool windowsNames = true);
// The files only, and names a workstation cannot take listed too (verify reports them as unlisted).
std::vector<TManifestFile> ListFolderFiles(const std::filesystem::path& folder);

// The size and SHA-256 of one file, read once in blocks; the file must be regular. Raises
// PublishError(Failed) when it cannot be read or changes while it is read.
FolderFile HashFile(const std::filesystem::path& file, std::string name);

// Raises PublishError(Failed) when a file of the walk is the private key itself (the same device
// and inode: a hard link, a link) or holds a PEM private key (a copy of this or any other key):
// whatever is listed is served to every workstation.
void RefuseSecrets(const std::vector<FolderFile>& files, const std::filesystem::path& key);

// Whether a name at the root of a server folder is one of the release-control entries.
bool IsReleaseControlName(std::string_view rootName);

// Whether a path (links resolved) lies inside the folder (links resolved).
bool IsInsideFolder(const std::filesystem::path& folder, const std::filesystem::path& path);

// Whether a file name (its last level) is one of the temporaries of the launcher and this tool.
bool IsTemporaryName(std::string_view fileName);

}  // namespace publish
