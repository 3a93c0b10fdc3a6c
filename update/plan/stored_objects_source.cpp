#include "update/plan/stored_objects_source.h"

#include <windows.h>

#include <string>

#include "base/event_log.h"
#include "base/log_line.h"
#include "base/string_convert.h"
#include "update/stream/byte_sink.h"
#include "update/stream/fetch_observer.h"
#include "update/trust/document_text.h"
#include "update/trust/release_documents.h"

std::optional<TSha256> ObjectNamed(std::wstring_view ARemoteName) {
    const std::wstring prefix = Utf8ToWide(kObjectsFolderName) + L"\\";
    // aurevia-objects\ab\<64 hex>
    if (ARemoteName.size() != prefix.size() + 3 + 64 || ARemoteName.substr(0, prefix.size()) != prefix)
        return std::nullopt;
    const std::wstring_view hex = ARemoteName.substr(prefix.size() + 3);
    if (ARemoteName.substr(prefix.size(), 2) != hex.substr(0, 2) || ARemoteName[prefix.size() + 2] != L'\\')
        return std::nullopt;
    for (const wchar_t c : hex)
        if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) return std::nullopt;
    return document_text::Sha256From(WideToUtf8(hex));
}

TStoredObjectsSource::TStoredObjectsSource(std::shared_ptr<IUpdateSource> ASource, TObjectStore AStore)
    : FSource(std::move(ASource)), FStore(std::move(AStore)) {}

void TStoredObjectsSource::Fetch(const std::wstring& ARemoteName, IByteSink& ASink,
                                 IFetchObserver* AObserver) {
    const std::optional<TSha256> content = ObjectNamed(ARemoteName);
    if (content) {
        // The object's size is not in its name: the store's file gives it, and the content check
        // of the name (and the update's against its signed entry) decides.
        WIN32_FILE_ATTRIBUTE_DATA data{};
        const std::wstring path = FStore.ObjectPath(*content);
        if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
            const TManifestFile entry{"", (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow, *content};
            bool begun = false;
            uint64_t bytes = 0;
            const TObjectStore::TTake take = FStore.Take(entry, [&](const char* AData, size_t ASize) {
                if (!begun) {
                    begun = true;
                    if (AObserver) AObserver->Begin(0, entry.Size);
                    ASink.Begin(0, entry.Size);
                }
                if (AObserver) AObserver->Received(AData, ASize);
                ASink.Write(AData, ASize);
                bytes += ASize;
            });
            if (take == TObjectStore::TTake::Taken) {
                if (!begun) {  // an empty object
                    if (AObserver) AObserver->Begin(0, 0);
                    ASink.Begin(0, 0);
                }
                FBytes += bytes;
                ++FFiles;
                return;
            }
            if (take == TObjectStore::TTake::Altered) Refused(*content);
        }
    }
    FSource->Fetch(ARemoteName, ASink, AObserver);
}

bool TStoredObjectsSource::MoveInto(const TManifestFile& AEntry, const std::wstring& ATarget, TDateTime AAge,
                                    IFetchObserver* AObserver) {
    bool begun = false;
    const TObjectStore::TMove move =
        FStore.MoveInto(AEntry, ATarget, AAge, [&](const char* AData, size_t ASize) {
            if (!AObserver) return;
            if (!begun) AObserver->Begin(0, AEntry.Size);
            begun = true;
            AObserver->Received(AData, ASize);
        });
    if (move == TObjectStore::TMove::Altered) Refused(AEntry.Sha256);
    if (move != TObjectStore::TMove::Moved) return false;
    FBytes += AEntry.Size;
    ++FFiles;
    return true;
}

void TStoredObjectsSource::Refused(const TSha256& AContent) {
    ++FAltered;
    LogEvent(TLogLine(TLogLevel::Warn, "store-altered")
                 .Add("object", document_text::HexOf(AContent))
                 .Add("action", "refetch"));
}
