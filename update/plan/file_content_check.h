#pragma once
// A file already on the disk checked against its entry in an accepted manifest: read once, in
// pieces, through the same streaming verifier a fetch goes through.
#include <string>

#include "update/trust/release_manifest.h"

// Whether the file at APath holds exactly the content the entry lists. A file that cannot be read
// does not match.
bool FileMatchesManifest(const TManifestFile& AExpected, const std::wstring& APath);
