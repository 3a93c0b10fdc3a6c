#include "dialogs/dialog_text.h"

#include "base/error.h"
#include "base/string_convert.h"

std::wstring FormatDialogText(std::wstring_view format, std::initializer_list<std::wstring> args) {
    std::wstring out;
    out.reserve(format.size());
    auto next = args.begin();
    for (std::size_t i = 0; i < format.size(); ++i) {
        const wchar_t c = format[i];
        if (c != L'%') {
            out += c;
            continue;
        }
        const wchar_t kind = i + 1 < format.size() ? format[i + 1] : L'\0';
        if (kind == L'%') {
            out += L'%';
        } else if ((kind == L's' || kind == L'S') && next != args.end()) {
            out += *next++;
        } else {
            throw Error(
                "Format '" + WideToUtf8(std::wstring(format)) + "' invalid or incompatible with argument",
                TErrorCategory::Other);
        }
        ++i;
    }
    return out;
}

std::wstring WithCrLfLineBreaks(std::wstring_view text) {
    std::wstring out;
    out.reserve(text.size() + text.size() / 16);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (c == L'\r') {
            out += L"\r\n";
            if (i + 1 < text.size() && text[i + 1] == L'\n') ++i;
        } else if (c == L'\n') {
            out += L"\r\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::wstring WithoutAccessKeyMarks(std::wstring_view caption) {
    std::wstring out;
    for (std::size_t i = 0; i < caption.size(); ++i) {
        if (caption[i] == L'&') {
            if (i + 1 < caption.size() && caption[i + 1] == L'&') {
                out += L'&';
                ++i;
            }
            continue;
        }
        out += caption[i];
    }
    return out;
}

wchar_t AccessKeyOf(std::wstring_view caption) {
    for (std::size_t i = 0; i + 1 < caption.size(); ++i) {
        if (caption[i] != L'&') continue;
        if (caption[i + 1] == L'&') {
            ++i;
            continue;
        }
        wchar_t k = caption[i + 1];
        if (k >= L'a' && k <= L'z') k = static_cast<wchar_t>(k - L'a' + L'A');
        return k;
    }
    return 0;
}

std::wstring DialogClipboardText(std::wstring_view caption, std::wstring_view message,
                                 const std::vector<std::wstring>& buttonCaptions) {
    const std::wstring line = std::wstring(27, L'-') + L"\r\n";
    std::wstring buttons;
    for (const auto& c : buttonCaptions) {
        // The copy drops every "&", doubled ones included: it is a plain listing, not a caption.
        for (wchar_t ch : c)
            if (ch != L'&') buttons += ch;
        buttons += L"   ";
    }
    std::wstring out = line;
    out += caption;
    out += L"\r\n";
    out += line;
    out += message;
    out += L"\r\n";
    out += line;
    out += buttons;
    out += L"\r\n";
    out += line;
    return out;
}
