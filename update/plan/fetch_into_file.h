#pragma once
// One file fetched from a source into a local path so that a failed fetch loses nothing: the body
// goes to a temporary file beside the target, is checked, given its age and renamed over the target
// in one step (update/disk/file_operations.h). The remote name and the local path are independent,
// so a file may be fetched under another name than it is kept.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "base/date_time.h"

class IUpdateSource;
class IFetchObserver;
class IByteSink;

// The same content stored deflated beside the remote file, under its name + ".deflate": a zlib
// stream of DeflatedSize bytes that inflates to InflatedSize bytes (both from the signed release).
struct TDeflatedObject {
    uint64_t DeflatedSize = 0;
    uint64_t InflatedSize = 0;
};

// How a fetched file came: from its deflated object or the plain one, and how many body bytes crossed
// the wire for it (an abandoned deflated object's and a restarted body's included).
struct TFetchWire {
    bool Deflated = false;
    uint64_t Bytes = 0;
};

// ATarget: full local path. ABeforeSwap, when given, runs once the body is complete and may refuse
// it by raising (a content check). With ADeflated the deflated object is fetched and inflated on its
// way into the temporary, AObserver seeing the inflated bytes; one that cannot be inflated is
// replaced by the plain file in the same temporary, while content that inflates to anything but
// the signed bytes is refused like a plain file's. AWire, when given, is told how the file came, also
// when the fetch fails. Raises the failure's message; the target stays as it was.
void FetchIntoFile(IUpdateSource& ASource, const std::wstring& ARemoteName, const std::wstring& ATarget,
                   TDateTime AAge, IFetchObserver& AObserver, const std::function<void()>& ABeforeSwap = {},
                   const std::optional<TDeflatedObject>& ADeflated = std::nullopt,
                   TFetchWire* AWire = nullptr);

// The same for bytes that come from elsewhere (a patch applied to the local file): AWrite writes the
// new content into the temporary's sink.
void WriteIntoFile(const std::wstring& ATarget, TDateTime AAge, const std::function<void(IByteSink&)>& AWrite,
                   const std::function<void()>& ABeforeSwap = {}, bool AMakeFolders = false);
