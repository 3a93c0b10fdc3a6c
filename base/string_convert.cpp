#include "base/string_convert.h"

#include "common/utf8.h"

namespace {

void AppendCodePoint(std::wstring& out, char32_t cp) {
    if constexpr (sizeof(wchar_t) == 2) {
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
            return;
        }
    }
    out.push_back(static_cast<wchar_t>(cp));
}

}  // namespace

std::wstring Utf8ToWide(std::string_view in) {
    std::wstring out;
    out.reserve(in.size());
    while (!in.empty()) {
        const Utf8Sequence sequence = DecodeUtf8(in);
        // An invalid byte stands for one replacement character; decoding goes on with the next byte.
        AppendCodePoint(out, sequence.length ? sequence.point : kReplacementCharacter);
        in.remove_prefix(sequence.length ? sequence.length : 1);
    }
    return out;
}

std::string WideToUtf8(std::wstring_view in) {
    std::string out;
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        char32_t cp = static_cast<char32_t>(in[i]);
        if constexpr (sizeof(wchar_t) == 2) {
            if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 &&
                in[i + 1] <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<char32_t>(in[i + 1]) - 0xDC00);
                ++i;
            }
        }
        AppendUtf8(out, cp);  // a lone surrogate, or past U+10FFFF, becomes U+FFFD
    }
    return out;
}
