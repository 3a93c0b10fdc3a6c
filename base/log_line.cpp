#include "base/log_line.h"

#include <cstdio>
#include <cstdlib>

#include "base/string_convert.h"
#include "common/instant.h"

namespace {

bool NeedsQuotes(std::string_view AValue) {
    if (AValue.empty()) return true;
    for (const char c : AValue) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7F || c == '"' || c == '=') return true;
    }
    return false;
}

}  // namespace

std::string FormatLogTime(const TLogTime& ATime) {
    return OffsetTimeText({ATime.year, ATime.month, ATime.day, ATime.hour, ATime.minute, ATime.second},
                          ATime.offsetMinutes, ATime.millisecond);
}

std::string LogValue(std::string_view AValue) {
    if (!NeedsQuotes(AValue)) return std::string(AValue);
    std::string quoted = "\"";
    for (const char c : AValue) {
        switch (c) {
            case '"':
                quoted += "\\\"";
                break;
            case '\\':
                quoted += "\\\\";
                break;
            case '\r':
                quoted += "\\r";
                break;
            case '\n':
                quoted += "\\n";
                break;
            case '\t':
                quoted += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof(escaped), "\\x%02X", static_cast<unsigned char>(c));
                    quoted += escaped;
                } else {
                    quoted += c;
                }
        }
    }
    return quoted + "\"";
}

std::string_view LogLevelName(TLogLevel ALevel) {
    switch (ALevel) {
        case TLogLevel::Info:
            return "INFO";
        case TLogLevel::Warn:
            return "WARN";
        case TLogLevel::Error:
            return "ERROR";
    }
    return "INFO";
}

TLogLine::TLogLine(TLogLevel ALevel, std::string_view AEvent) : FLevel(ALevel), FEvent(AEvent) {}

TLogLine& TLogLine::Add(std::string_view AKey, std::string_view AValue) {
    FFields += ' ';
    FFields += AKey;
    FFields += '=';
    FFields += LogValue(AValue);
    return *this;
}

TLogLine& TLogLine::Add(std::string_view AKey, std::wstring_view AValue) {
    return Add(AKey, WideToUtf8(AValue));
}

std::string TLogLine::Text(const TLogTime& ATime) const {
    std::string line = FormatLogTime(ATime);
    line += ' ';
    line += LogLevelName(FLevel);
    line += ' ';
    line += FEvent;
    line += FFields;
    line += "\r\n";
    return line;
}
