#include "update/transport/url_encoding.h"

#include <string>

#include "base/string_convert.h"
#include "common/hex.h"

namespace {

void AppendPercentEncoded(std::wstring& out, unsigned char byte) {
    std::string hex;
    AppendHex(hex, byte, HexCase::Upper);
    out += {L'%', static_cast<wchar_t>(hex[0]), static_cast<wchar_t>(hex[1])};
}

// Copies each character, or writes the %XX form of each byte of its UTF-8 form when `mustEncode`
// says so (characters above U+007F always must). A surrogate pair is taken as one code point so
// that its UTF-8 form is right.
template <typename Predicate>
std::wstring EncodeEach(std::wstring_view text, Predicate mustEncode) {
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        size_t length = 1;
        if constexpr (sizeof(wchar_t) == 2) {
            const wchar_t c = text[i];
            if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
                text[i + 1] <= 0xDFFF)
                length = 2;
        }
        const std::wstring_view unit = text.substr(i, length);
        const wchar_t c = unit.front();
        if (length == 1 && !mustEncode(c)) {
            out.push_back(c);
        } else {
            for (const char byte : WideToUtf8(unit))
                AppendPercentEncoded(out, static_cast<unsigned char>(byte));
        }
        i += length;
    }
    return out;
}

bool IsBlankOrControl(wchar_t c) { return c <= 0x20 || c == 0x7F; }

// Characters encoded besides controls, the blank and everything above U+007E.
constexpr std::wstring_view kPathEncoded = L"*<>#%{}|\\^[]`+\"";
constexpr std::wstring_view kQueryValueEncoded = L"!#$&()+,/:;<=>?[\\]^`{|}~\"'@";

bool PathMustEncode(wchar_t c) {
    return c <= 0x20 || c >= 0x7F || kPathEncoded.find(c) != std::wstring_view::npos;
}

bool QueryMustEncode(wchar_t c) {
    if (c == L'+') return false;
    if (c == L'\'') return true;
    return PathMustEncode(c);
}

bool QueryValueMustEncode(wchar_t c) {
    return c < 0x21 || c >= 0x7F || kQueryValueEncoded.find(c) != std::wstring_view::npos;
}

}  // namespace

std::wstring NormalizeBaseURL(std::wstring_view url) {
    size_t first = 0;
    size_t last = url.size();
    while (first < last && IsBlankOrControl(url[first])) ++first;
    while (last > first && IsBlankOrControl(url[last - 1])) --last;
    std::wstring result(url.substr(first, last - first));
    if (result.empty()) return result;
    if (result.find(L"://") == std::wstring::npos) result.insert(0, L"http://");
    while (!result.empty() && result.back() == L'/') result.pop_back();
    return result;
}

std::wstring PercentEncodeURL(std::wstring_view url) {
    const size_t queryStart = url.find(L'?');
    std::wstring path(url.substr(0, queryStart));
    for (wchar_t& c : path)
        if (c == L'\\') c = L'/';
    std::wstring out = EncodeEach(path, PathMustEncode);
    if (queryStart != std::wstring_view::npos) {
        out.push_back(L'?');
        out += EncodeEach(url.substr(queryStart + 1), QueryMustEncode);
    }
    return out;
}

std::wstring EncodeQueryValue(std::wstring_view value) {
    std::wstring out;
    out.reserve(value.size());
    for (const char byte : WideToUtf8(value)) {
        const auto b = static_cast<unsigned char>(byte);
        if (b == ' ')
            out.push_back(L'+');
        else if (QueryValueMustEncode(static_cast<wchar_t>(b)))
            AppendPercentEncoded(out, b);
        else
            out.push_back(static_cast<wchar_t>(b));
    }
    return out;
}

std::wstring FolderListURL(std::wstring_view baseURL, std::wstring_view folder, std::wstring_view mask,
                           bool recursive) {
    std::wstring url = PercentEncodeURL(NormalizeBaseURL(baseURL) + L"/folderlist");
    wchar_t separator = L'?';
    const auto addParameter = [&](std::wstring_view name, std::wstring_view value) {
        url.push_back(separator);
        url += name;
        url.push_back(L'=');
        url += EncodeQueryValue(value);
        separator = L'&';
    };
    if (!folder.empty()) addParameter(L"folder", folder);
    if (!mask.empty()) addParameter(L"mask", mask);
    if (recursive) addParameter(L"recursive", L"");
    return url;
}

std::wstring DownloadURL(std::wstring_view baseURL, std::wstring_view remoteFileName) {
    std::wstring url(baseURL);
    url += L"/download?file=";
    url += remoteFileName;
    return PercentEncodeURL(NormalizeBaseURL(url));
}
