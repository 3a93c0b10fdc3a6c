// Any text handed to the list and error-record decodings either decodes or raises an Error; a
// failed list keeps records only before its first empty position.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "base/string_convert.h"
#include "update/records/file_info.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::wstring text = Utf8ToWide(std::string_view(reinterpret_cast<const char*>(data), size));

    TFilesInfoDTO list;
    bool failed = false;
    try {
        TFilesInfoDTOHelper::FromJSON(list, text);
    } catch (const Error&) {
        failed = true;
    }
    bool holeSeen = false;
    for (const auto& record : list) {
        if (!record) {
            if (!failed) std::abort();  // a decoded list has a record at every position
            holeSeen = true;
        } else if (holeSeen) {
            std::abort();  // nothing is decoded after the failing element
        }
    }
    TFilesInfoDTOHelper::FreeAll(list);
    if (!list.empty()) std::abort();

    try {
        if (!RecordFromJSON<TFileInfoErrorDTO>(text)) std::abort();
    } catch (const Error&) {
    }
    return 0;
}
