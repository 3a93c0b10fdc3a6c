#include "tools/fileservice/front_cache.h"

namespace fileservice {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

void AppendEscaped(std::string& out, unsigned char byte) {
    out.push_back('%');
    out.push_back(kHex[byte >> 4]);
    out.push_back(kHex[byte & 15]);
}

}  // namespace

std::string LauncherDownloadQuery(std::string_view name) {
    constexpr std::string_view kEncoded = "*<>#%{}|\\^[]`\"'";
    std::string out = "file=";
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F || kEncoded.find(c) != std::string_view::npos)
            AppendEscaped(out, byte);
        else
            out.push_back(c);
    }
    return out;
}

std::string LauncherListQuery(std::string_view folder, std::string_view mask, bool recursive) {
    constexpr std::string_view kEncoded = "!#$&()+,/:;<=>?[\\]^`{|}~\"'@";
    std::string out;
    const auto add = [&](std::string_view parameter, std::string_view value) {
        out += out.empty() ? "" : "&";
        out += parameter;
        out.push_back('=');
        for (const char c : value) {
            const auto byte = static_cast<unsigned char>(c);
            if (c == ' ')
                out.push_back('+');
            else if (byte < 0x21 || byte >= 0x7F || kEncoded.find(c) != std::string_view::npos)
                AppendEscaped(out, byte);
            else
                out.push_back(c);
        }
    };
    if (!folder.empty()) add("folder", folder);
    if (!mask.empty()) add("mask", mask);
    if (recursive) add("recursive", "");
    return out;
}

}  // namespace fileservice
