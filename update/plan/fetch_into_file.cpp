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

// Counts what a source writes before passing it on: the bytes that crossed the wire, whatever the
// sink behind makes of them.
class TWireCountingSink final : public IByteSink {
  public:
    TWireCountingSink(IByteSink& ANext, uint64_t& ACount) : FNext(ANext), FCount(ACount) {}
    void Begin(uint64_t AOffset, std::optional<uint64_t> ATotal) override { FNext.Begin(AOffset, ATotal); }
    void Write(const char* AData, size_t ASize) override {
        FCount += ASize;
        FNext.Write(AData, ASize);
    }

  private:
    IByteSink& FNext;
    uint64_t& FCount;
};

// Whether the deflated object arrived whole and inflated; false when it cannot be inflated, so that
// the plain object is fetched into the same temporary (its Begin(0) starts the sink and the
// observers over).
bool FetchDeflated(IUpdateSource& ASource, const std::wstring& ARemoteName, const TDeflatedObject& AObject,
                   IByteSink& ASink, IFetchObserver& AObserver, uint64_t& AWireBytes) {
    TInflatingSink inflating(ASink, &AObserver, AObject.InflatedSize, AObject.DeflatedSize,
                             WideToUtf8(ARemoteName));
    TWireCountingSink counted(inflating, AWireBytes);
    try {
        ASource.Fetch(ARemoteName + Utf8ToWide(kDeflatedObjectSuffix), counted, nullptr);
        inflating.Finish();
        return true;
    } catch (const TInflateError&) {
        return false;
    }
}

}  // namespace

void FetchIntoFile(IUpdateSource& ASource, const std::wstring& ARemoteName, const std::wstring& ATarget,
                   TDateTime AAge, IFetchObserver& AObserver, const std::function<void()>& ABeforeSwap,
                   const std::optional<TDeflatedObject>& ADeflated, TFetchWire* AWire) {
    TFetchWire unused;
    TFetchWire& wire = AWire ? *AWire : unused;
    wire = {};
    WriteIntoFile(
        ATarget, AAge,
        [&](IByteSink& ASink) {
            wire.Deflated =
                ADeflated && FetchDeflated(ASource, ARemoteName, *ADeflated, ASink, AObserver, wire.Bytes);
            if (wire.Deflated) return;
            TWireCountingSink counted(ASink, wire.Bytes);
            ASource.Fetch(ARemoteName, counted, &AObserver);
        },
        ABeforeSwap, ASource.MakesFolders());
}

void WriteIntoFile(const std::wstring& ATarget, TDateTime AAge, const std::function<void(IByteSink&)>& AWrite,
                   const std::function<void()>& ABeforeSwap, bool AMakeFolders) {
    if (AMakeFolders) {
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
        AWrite(sink);
    }
    if (ABeforeSwap) ABeforeSwap();
    SetFileAgeStrict(temporary.Path(), AAge);
    ReplaceWithTemporary(temporary.Path(), ATarget);
    temporary.Keep();
}
