#pragma once
// The files a release manifest lists for a server folder: every regular file under it, named as the
// launcher names it (relative, backslashes between levels), with its size and SHA-256 read in one
// streamed pass. The walk mirrors what the reference file service serves, so that the manifest
// names exactly the files a workstation can fetch:
//  - a link to a file inside the folder is listed (with its target's content);
//  - a link that leads out of the folder, a link to a folder, a broken link and anything that is not
//    a regular file (pipe, socket, device) is skipped with a warning on standard error;
//  - the manifest and its signature at the root, and the "~aur*.tmp" temporaries, are skipped.
// Anything the walk cannot read (a file or folder without permission) fails the walk: a manifest
// must not silently leave out a file that the service might serve later.
#include <filesystem>
#include <string>
#include <vector>

#include "update/trust/release_manifest.h"

namespace publish {

// Sorted by name (byte order). Raises PublishError(Failed) for what cannot be read or named.
std::vector<TManifestFile> ListFolderFiles(const std::filesystem::path& folder);

// The size and SHA-256 of one file, read once in blocks; the file must be regular. Raises
// PublishError(Failed) when it cannot be read or changes while it is read.
TManifestFile HashFile(const std::filesystem::path& file, std::string name);

// Whether a path (links resolved) lies inside the folder (links resolved).
bool IsInsideFolder(const std::filesystem::path& folder, const std::filesystem::path& path);

// Whether a file name (its last level) is one of the temporaries of the launcher and this tool.
bool IsTemporaryName(std::string_view fileName);

}  // namespace publish
