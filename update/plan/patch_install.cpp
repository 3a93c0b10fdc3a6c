#include "update/plan/patch_install.h"

#include <windows.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <optional>

#include "base/handles.h"
#include "common/binary_patch.h"
#include "update/plan/fetch_into_file.h"
#include "update/source/update_source.h"
#include "update/stream/byte_sink.h"
#include "update/stream/fetch_observers.h"
#include "update/trust/content_verifier.h"

namespace {

// A version of a local file as the file system tells it apart: its size and last-write time.
struct TFileVersion {
    uint64_t Size = 0;
    uint64_t WriteTime = 0;
    bool operator==(const TFileVersion&) const = default;
};

// The SHA-256 of each local file version met in this run, so that a file is hashed once per version
// however many updates look at it (a file with no patch from its version is then not read again).
class TLocalHashes {
  public:
    std::optional<TSha256> Find(const std::wstring& APath, const TFileVersion& AVersion) {
        const std::lock_guard lock(FLock);
        const auto found = FHashes.find(APath);
        if (found == FHashes.end() || !(found->second.first == AVersion)) return std::nullopt;
        return found->second.second;
    }
    void Remember(const std::wstring& APath, const TFileVersion& AVersion, const TSha256& ASha256) {
        const std::lock_guard lock(FLock);
        FHashes[APath] = {AVersion, ASha256};
    }

  private:
    std::mutex FLock;
    std::map<std::wstring, std::pair<TFileVersion, TSha256>> FHashes;
};

TLocalHashes& LocalHashes() {
    static TLocalHashes hashes;
    return hashes;
}

struct TLocalFile {
    std::string Bytes;  // empty until read
    TSha256 Sha256{};
};

// The local file's SHA-256, and its bytes when a patch starts from it; nullopt when it is not a file
// of at most kMostPatchedFileSize bytes or no patch starts from it.
std::optional<TLocalFile> ReadLocalFile(const std::wstring& APath, const std::vector<TFilePatch>& APatches) {
    const unique_file file(CreateFileW(APath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    BY_HANDLE_FILE_INFORMATION information{};
    if (!file || !GetFileInformationByHandle(file.get(), &information)) return std::nullopt;
    const TFileVersion version{uint64_t{information.nFileSizeHigh} << 32 | information.nFileSizeLow,
                               uint64_t{information.ftLastWriteTime.dwHighDateTime} << 32 |
                                   information.ftLastWriteTime.dwLowDateTime};
    if (version.Size > kMostPatchedFileSize) return std::nullopt;
    const auto startsFrom = [&](const TSha256& ASha256) {
        return std::any_of(APatches.begin(), APatches.end(),
                           [&](const TFilePatch& APatch) { return APatch.From == ASha256; });
    };
    const std::optional<TSha256> known = LocalHashes().Find(APath, version);
    if (known && !startsFrom(*known)) return std::nullopt;
    std::string bytes(static_cast<size_t>(version.Size), '\0');
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD read = 0;
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
        if (!ReadFile(file.get(), bytes.data() + done, piece, &read, nullptr) || read == 0)
            return std::nullopt;
        done += read;
    }
    // Hashed again even when known: the bytes read are what the patch is applied to.
    const TSha256 sha256 = Sha256Of(bytes);
    LocalHashes().Remember(APath, version, sha256);
    if (!startsFrom(sha256)) return std::nullopt;
    return TLocalFile{std::move(bytes), sha256};
}

std::wstring ObjectName(const TSha256& ASha256) {
    const std::string path = ObjectPath(ASha256);
    std::wstring name(path.begin(), path.end());  // hex digits and slashes only
    std::replace(name.begin(), name.end(), L'/', L'\\');
    return name;
}

}  // namespace

bool InstallByPatch(IUpdateSource& ASource, const TManifestFile& AExpected,
                    const std::vector<TFilePatch>& APatches, const std::wstring& ATarget, TDateTime AAge,
                    IFetchObserver& AObserver, std::string* AWhy) {
    if (APatches.empty() || AExpected.Size > kMostPatchedFileSize) return false;
    try {
        const std::optional<TLocalFile> local = ReadLocalFile(ATarget, APatches);
        if (!local) return false;
        const auto patch = std::find_if(APatches.begin(), APatches.end(), [&](const TFilePatch& APatch) {
            return APatch.From == local->Sha256;
        });
        if (patch == APatches.end()) return false;

        // The patch is signed content like any object: checked while it streams, bounded by its size.
        TContentVerifier patchCheck(TManifestFile{AExpected.Name + " (patch)", patch->Size, patch->Sha256});
        TFetchObservers observers;
        observers.Add(patchCheck);
        observers.Add(AObserver);
        TMemorySink patchBytes(patch->Size,
                               "The patch of " + AExpected.Name + " is larger than its signed size");
        ASource.Fetch(ObjectName(patch->Sha256), patchBytes, &observers);
        patchCheck.Finish();

        TContentVerifier resultCheck(AExpected);
        WriteIntoFile(
            ATarget, AAge,
            [&](IByteSink& ASink) {
                resultCheck.Begin(0, AExpected.Size);
                ASink.Begin(0, AExpected.Size);
                ApplyBinaryPatch(local->Bytes, patchBytes.Bytes(), AExpected.Size,
                                 [&](const char* AData, size_t ASize) {
                                     resultCheck.Received(AData, ASize);
                                     ASink.Write(AData, ASize);
                                 });
            },
            [&] { resultCheck.Finish(); });
        return true;
    } catch (const std::exception& e) {
        if (AWhy) *AWhy = e.what();
        return false;
    }
}
