#include "update/transport/content_type.h"

#include <cctype>

namespace {

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

struct CharsetCodePage {
    std::string_view name;
    unsigned codePage;
};

constexpr CharsetCodePage kCharsets[] = {
    {"utf-8", 65001},       {"utf8", 65001},        {"us-ascii", 20127},    {"ascii", 20127},
    {"iso-8859-1", 28591},  {"latin1", 28591},      {"iso-8859-2", 28592},  {"iso-8859-5", 28595},
    {"iso-8859-7", 28597},  {"iso-8859-9", 28599},  {"iso-8859-15", 28605}, {"windows-1250", 1250},
    {"windows-1251", 1251}, {"windows-1252", 1252}, {"windows-1253", 1253}, {"windows-1254", 1254},
    {"windows-1257", 1257}, {"cp1252", 1252},       {"ibm850", 850},        {"cp850", 850},
    {"koi8-r", 20866},      {"shift_jis", 932},     {"gb2312", 936},        {"gbk", 936},
    {"big5", 950},          {"euc-kr", 949},        {"utf-16", 1200},       {"utf-16le", 1200},
    {"utf-16be", 1201},
};

}  // namespace

std::string CharsetOf(std::string_view contentType) {
    size_t pos = contentType.find(';');
    while (pos != std::string_view::npos) {
        std::string_view rest = contentType.substr(pos + 1);
        const size_t next = rest.find(';');
        std::string_view parameter = Trim(rest.substr(0, next));
        const size_t equals = parameter.find('=');
        if (equals != std::string_view::npos && Lower(Trim(parameter.substr(0, equals))) == "charset") {
            std::string_view value = Trim(parameter.substr(equals + 1));
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
                value = value.substr(1, value.size() - 2);
            return Lower(value);
        }
        pos = next == std::string_view::npos ? next : pos + 1 + next;
    }
    return {};
}

bool IsBinaryMediaType(std::string_view contentType) {
    const std::string type = Lower(Trim(contentType));
    return type.starts_with("image") || type.starts_with("video") || type.starts_with("audio");
}

unsigned CodePageOfCharset(std::string_view charset) {
    for (const auto& entry : kCharsets)
        if (entry.name == charset) return entry.codePage;
    return 0;
}
