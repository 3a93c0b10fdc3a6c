#include "update/plan/patch_install.h"

#include <windows.h>

#include <algorithm>
#include <optional>

#include "base/handles.h"
#include "common/binary_patch.h"
#include "update/plan/fetch_into_file.h"
#include "update/source/update_source.h"
#include "update/stream/byte_sink.h"
#include "update/stream/fetch_observers.h"
#include "update/trust/content_verifier.h"

namespace {

// The local file whole, when it is a file of at most kMostPatchedFileSize bytes.
std::optional<std::string> ReadLocalFile(const std::wstring& APath) {
    const unique_file file(CreateFileW(APath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart < 0 ||
        static_cast<uint64_t>(size.QuadPart) > kMostPatchedFileSize)
        return std::nullopt;
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD read = 0;
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
        if (!ReadFile(file.get(), bytes.data() + done, piece, &read, nullptr) || read == 0)
            return std::nullopt;
        done += read;
    }
    return bytes;
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
        const std::optional<std::string> old = ReadLocalFile(ATarget);
        if (!old) return false;
        const TSha256 local = Sha256Of(*old);
        const auto patch = std::find_if(APatches.begin(), APatches.end(),
                                        [&](const TFilePatch& APatch) { return APatch.From == local; });
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
                ApplyBinaryPatch(*old, patchBytes.Bytes(), AExpected.Size,
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
