#include "update/trust/manifest_index.h"

#include "base/string_convert.h"
#include "update/disk/file_keys.h"

TManifestIndex::TManifestIndex(const TReleaseManifest& AManifest) {
    FFiles.reserve(AManifest.Files.size());
    for (const TManifestFile& file : AManifest.Files) {
        if (!FFiles.try_emplace(FileKey(Utf8ToWide(file.Name)), file).second)
            throw TManifestError("the name \"" + file.Name + "\" is listed twice");
    }
}

const TManifestFile* TManifestIndex::Find(std::wstring_view AName) const {
    const auto found = FFiles.find(FileKey(AName));
    return found == FFiles.end() ? nullptr : &found->second;
}
