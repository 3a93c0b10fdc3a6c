// Whatever the base URL and the remote name hold, the URLs built from them are printable ASCII with
// no blank; in a download URL every "%" introduces two upper-case hex digits; a query value's
// encoding keeps none of the characters that would split the query. (A "%" in a list parameter
// value travels as it stands, so the list URL's escapes are not checked.)
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "base/string_convert.h"
#include "update/transport/url_encoding.h"

namespace {

void CheckSendable(const std::wstring& url, bool escapesWellFormed) {
    for (size_t i = 0; i < url.size(); ++i) {
        const wchar_t c = url[i];
        if (c <= 0x20 || c >= 0x7F) std::abort();
        if (escapesWellFormed && c == L'%') {
            for (size_t k = 1; k <= 2; ++k) {
                const wchar_t h = i + k < url.size() ? url[i + k] : 0;
                if (!((h >= L'0' && h <= L'9') || (h >= L'A' && h <= L'F'))) std::abort();
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const size_t split = bytes.find('\n');
    const std::wstring base = Utf8ToWide(bytes.substr(0, split));
    const std::wstring name =
        split == std::string_view::npos ? std::wstring() : Utf8ToWide(bytes.substr(split + 1));

    const std::wstring download = DownloadURL(base, name);
    if (!download.empty()) CheckSendable(download, true);
    const std::wstring list = FolderListURL(base, name, name, true);
    if (!NormalizeBaseURL(base).empty()) CheckSendable(list, false);
    const std::wstring value = EncodeQueryValue(name);
    if (value.find_first_of(L"&=#? ") != std::wstring::npos) std::abort();
    return 0;
}
