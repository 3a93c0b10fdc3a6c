#include "tools/fileservice/access_log.h"

#include <cstdio>

namespace fileservice {

namespace {

void AppendEscaped(std::string& out, std::string_view text) {
    if (text.empty()) {
        out.push_back('-');
        return;
    }
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (byte < 0x20 || byte == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        } else {
            out.push_back(c);
        }
    }
}

}  // namespace

std::string CombinedLogLine(const LoggedRequest& r) {
    std::string line;
    AppendEscaped(line, r.remoteAddress);
    struct tm local {};
    localtime_r(&r.time, &local);
    char when[64];
    std::strftime(when, sizeof when, " - - [%d/%b/%Y:%H:%M:%S %z] \"", &local);
    line += when;
    AppendEscaped(line, r.method);
    line.push_back(' ');
    AppendEscaped(line, r.target);
    line.push_back(' ');
    AppendEscaped(line, r.version);
    line +=
        "\" " + std::to_string(r.status) + " " + (r.bodyBytes ? std::to_string(r.bodyBytes) : "-") + " \"";
    AppendEscaped(line, r.referer);
    line += "\" \"";
    AppendEscaped(line, r.userAgent);
    line += "\" " + std::to_string(r.duration.count()) + " " + std::to_string(r.bytesSent) + "\n";
    return line;
}

}  // namespace fileservice
