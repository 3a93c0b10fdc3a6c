#pragma once
// The files of an accepted manifest by name, matched by the one rule the updater uses for every
// name (update/disk/file_keys.h: the linguistic upper-casing the file system applies), so that a
// file the updater fetches is always the file the manifest signs. Built once per accepted manifest;
// each lookup is one hash probe.
#include <string>
#include <string_view>
#include <unordered_map>

#include "update/trust/release_manifest.h"

class TManifestIndex {
  public:
    TManifestIndex() = default;
    // Raises TManifestError when two names of the manifest are one name under the rule.
    explicit TManifestIndex(const TReleaseManifest& AManifest);

    // The entry the name stands for, or nullptr.
    const TManifestFile* Find(std::wstring_view AName) const;
    size_t Size() const { return FFiles.size(); }

  private:
    std::unordered_map<std::wstring, TManifestFile> FFiles;
};
