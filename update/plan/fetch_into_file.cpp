#include "update/plan/fetch_into_file.h"

#include <windows.h>

#include "base/handles.h"
#include "base/paths.h"
#include "base/string_convert.h"
#include "base/win32_error.h"
#include "update/disk/file_operations.h"
#include "update/stream/byte_sink.h"
#include "update/stream/inflating_sink.h"
#include "update/source/update_source.h"
#include "update/trust/release_documents.h"

namespace {

// A fetch's temporary file: deleted when the fetch fails, kept once it has been swapped in.
class TTemporaryFile {
  public:
    explicit TTemporaryFile(std::wstring APath) : FPath(std::move(APath)) {}
    ~TTemporaryFile() {
        if (!FPath.empty()) DiscardTemporary(FPath);
    }
    TTemporaryFile(const TTemporaryFile&) = delete;
    TTemporaryFile& operator=(const TTemporaryFile&) = delete;

    const std::wstring& Path() const { return FPath; }
    void Keep() { FPath.clear(); }

  private:
    std::wstring FPath;
};

// Whether the deflated object arrived whole and inflated; false when it cannot be inflated, so that
// the plain object is fetched into the same temporary (its Begin(0) starts the sink and the
// observers over).
bool FetchDeflated(IUpdateSource& ASource, const std::wstring& ARemoteName, const TDeflatedObject& AObject,
                   IByteSink& ASink, IFetchObserver& AObserver) {
    TInflatingSink inflating(ASink, &AObserver, AObject.InflatedSize, AObject.DeflatedSize,
                             WideToUtf8(ARemoteName));
    try {
        ASource.Fetch(ARemoteName + Utf8ToWide(kDeflatedObjectSuffix), inflating, nullptr);
        inflating.Finish();
        return true;
    } catch (const TInflateError&) {
        return false;
    }
}

}  // namespace

void FetchIntoFile(IUpdateSource& ASource, const std::wstring& ARemoteName, const std::wstring& ATarget,
                   TDateTime AAge, IFetchObserver& AObserver, const std::function<void()>& ABeforeSwap,
                   const std::optional<TDeflatedObject>& ADeflated) {
    if (ASource.MakesFolders()) {
        const std::wstring folder = FolderOf(ATarget);
        if (!folder.empty()) ForceDirectories(folder);
    }
    CheckFilePath(ATarget);
    CheckReplaceable(ATarget);
    TTemporaryFile temporary(TemporaryNameBeside(ATarget));
    {
        // No sharing: no other process opens the file while it is written.
        unique_file file(CreateFileW(temporary.Path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) ThrowLastError(TErrorCategory::Disk);
        TFileSink sink(file.get());
        if (!ADeflated || !FetchDeflated(ASource, ARemoteName, *ADeflated, sink, AObserver))
            ASource.Fetch(ARemoteName, sink, &AObserver);
    }
    if (ABeforeSwap) ABeforeSwap();
    SetFileAgeStrict(temporary.Path(), AAge);
    ReplaceWithTemporary(temporary.Path(), ATarget);
    temporary.Keep();
}
