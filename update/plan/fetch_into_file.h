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

// ATarget: full local path. ABeforeSwap, when given, runs once the body is complete and may refuse
// it by raising (a content check). Raises the failure's message; the target stays as it was.
void FetchIntoFile(IUpdateSource& ASource, const std::wstring& ARemoteName, const std::wstring& ATarget,
                   TDateTime AAge, IFetchObserver& AObserver, const std::function<void()>& ABeforeSwap = {});
