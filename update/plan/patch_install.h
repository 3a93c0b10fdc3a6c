#pragma once
// A changed file made from the version the workstation holds and a binary patch the release lists
// from it (common/binary_patch.h), instead of the whole object: a rebuilt module then costs the WAN a
// few kilobytes. The patch is checked against its signed SHA-256 before it is applied, and its
// result against the file's, in a temporary beside the target that is renamed over it only when
// right: the same way in as a fetched file (fetch_into_file.h). Whatever fails, the target is as it
// was and the caller fetches the whole object.
#include <string>
#include <vector>

#include "base/date_time.h"
#include "update/trust/release_documents.h"
#include "update/trust/release_manifest.h"

class IUpdateSource;
class IFetchObserver;

// Whether ATarget now holds AExpected's content with the age AAge, made by one of APatches from the
// file ATarget held. False when none starts from that file (at most kMostPatchedFileSize bytes; its
// SHA-256 is remembered for the run per size and last-write time, so that a version no patch starts
// from is read once) or any step failed; AWhy, when given, then says why. AObserver sees
// the patch's bytes as they arrive (the bytes on the wire). Never raises.
bool InstallByPatch(IUpdateSource& ASource, const TManifestFile& AExpected,
                    const std::vector<TFilePatch>& APatches, const std::wstring& ATarget, TDateTime AAge,
                    IFetchObserver& AObserver, std::string* AWhy = nullptr);
