#include "common/query_string.h"

#include <algorithm>

#include "common/hex.h"

std::string_view QueryOf(std::string_view target) {
    const size_t mark = target.find('?');
    return mark == std::string_view::npos ? std::string_view() : target.substr(mark + 1);
}

std::string PercentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const int high = text[i] == '%' && i + 2 < text.size() ? HexDigitValue(text[i + 1]) : -1;
        const int low = high >= 0 ? HexDigitValue(text[i + 2]) : -1;
        if (low >= 0) {
            out.push_back(static_cast<char>(high * 16 + low));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::string FormDecode(std::string_view text) {
    std::string plus(text);
    std::replace(plus.begin(), plus.end(), '+', ' ');
    return PercentDecode(plus);
}

std::optional<std::string> QueryValue(std::string_view query, std::string_view name) {
    while (!query.empty()) {
        const size_t amp = query.find('&');
        const std::string_view item = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        const size_t equals = item.find('=');
        if (FormDecode(item.substr(0, equals)) != name) continue;
        return equals == std::string_view::npos ? std::string() : FormDecode(item.substr(equals + 1));
    }
    return std::nullopt;
}

std::optional<std::string_view> RawQueryTail(std::string_view query, std::string_view name) {
    for (size_t pos = 0; pos <= query.size();) {
        const std::string_view rest = query.substr(pos);
        if (rest.starts_with(name) && rest.substr(name.size()).starts_with('='))
            return rest.substr(name.size() + 1);
        const size_t amp = query.find('&', pos);
        if (amp == std::string_view::npos) break;
        pos = amp + 1;
    }
    return std::nullopt;
}
