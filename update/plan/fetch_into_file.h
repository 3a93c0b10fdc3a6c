#pragma once
// One file fetched from a source into a local path so that a failed fetch loses nothing: the body
// goes to a temporary file beside the target, is checked, given its age and renamed over the target
// in one step (update/disk/file_operations.h). The remote name and the local path are independent,
// so a file may be fetched under another name than it is kept.
#include <functional>
#include <string>

#include "base/date_time.h"

class IUpdateSource;
class IFetchObserver;
class IByteSink;

// ATarget: full local path. ABeforeSwap, when given, runs once the body is complete and may refuse
// it by raising (a content check). Raises the failure's message; the target stays as it was.
void FetchIntoFile(IUpdateSource& ASource, const std::wstring& ARemoteName, const std::wstring& ATarget,
                   TDateTime AAge, IFetchObserver& AObserver, const std::function<void()>& ABeforeSwap = {});

// The same for bytes that come from elsewhere (a patch applied to the local file): AWrite writes the
// new content into the temporary's sink.
void WriteIntoFile(const std::wstring& ATarget, TDateTime AAge, const std::function<void(IByteSink&)>& AWrite,
                   const std::function<void()>& ABeforeSwap = {}, bool AMakeFolders = false);
