#include "launcher/fleet/fleet_report.h"

#include <rapidjson/document.h>

#include <cstdio>
#include <cstdlib>

namespace {

// The length of the UTF-8 sequence that starts at AText[AAt], or 0 when none valid starts there
// (overlong forms, surrogates and code points past U+10FFFF are invalid too).
size_t Utf8SequenceLength(std::string_view AText, size_t AAt) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(AText[i]); };
    const unsigned char lead = byte(AAt);
    if (lead < 0x80) return 1;
    size_t length = 0;
    uint32_t code = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
    } else {
        return 0;
    }
    if (AAt + length > AText.size()) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(AAt + i) & 0xC0) != 0x80) return 0;
        code = (code << 6) | (byte(AAt + i) & 0x3F);
    }
    if ((length == 3 && code < 0x800) || (length == 4 && code < 0x10000) || code > 0x10FFFF ||
        (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

void AppendJsonString(std::string& AOut, std::string_view AValue) {
    AOut += '"';
    for (const char c : AValue) {
        switch (c) {
            case '"':
                AOut += "\\\"";
                break;
            case '\\':
                AOut += "\\\\";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned char>(c));
                    AOut += escaped;
                } else {
                    AOut += c;
                }
        }
    }
    AOut += '"';
}

void AddString(std::string& AOut, std::string_view AKey, std::string_view AValue) {
    AOut += ",\"";
    AOut += AKey;
    AOut += "\":";
    AppendJsonString(AOut, AValue);
}

void AddNumber(std::string& AOut, std::string_view AKey, uint64_t AValue) {
    AOut += ",\"";
    AOut += AKey;
    AOut += "\":";
    AOut += std::to_string(AValue);
}

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

}  // namespace

std::string_view FleetEventName(TFleetEvent AEvent) {
    switch (AEvent) {
        case TFleetEvent::Startup:
            return "startup";
        case TFleetEvent::Module:
            return "module";
        case TFleetEvent::SelfUpdate:
            return "self-update";
    }
    return "startup";
}

std::string_view FleetResultName(TFleetResult AResult) {
    switch (AResult) {
        case TFleetResult::Ok:
            return "ok";
        case TFleetResult::Failed:
            return "failed";
        case TFleetResult::Refused:
            return "refused";
    }
    return "failed";
}

std::string_view FleetReasonName(TFleetReason AReason) {
    switch (AReason) {
        case TFleetReason::None:
            return "none";
        case TFleetReason::Listing:
            return "listing";
        case TFleetReason::Fetch:
            return "fetch";
        case TFleetReason::Signature:
            return "signature";
        case TFleetReason::Expired:
            return "expired";
        case TFleetReason::Replayed:
            return "replayed";
        case TFleetReason::Altered:
            return "altered";
        case TFleetReason::Timeout:
            return "timeout";
        case TFleetReason::TooLarge:
            return "too_large";
        case TFleetReason::Disk:
            return "disk";
        case TFleetReason::Tls:
            return "tls";
        case TFleetReason::Server:
            return "server";
        case TFleetReason::Other:
            return "other";
    }
    return "other";
}

std::string FleetText(std::string_view AText, size_t AMaxChars) {
    std::string text;
    size_t chars = 0;
    for (size_t at = 0; at < AText.size() && chars < AMaxChars; ++chars) {
        const size_t length = Utf8SequenceLength(AText, at);
        if (length == 0) {
            text += "\xEF\xBF\xBD";
            ++at;
        } else if (length == 1 && (static_cast<unsigned char>(AText[at]) < 0x20 || AText[at] == 0x7F)) {
            text += ' ';
            ++at;
        } else {
            text.append(AText.substr(at, length));
            at += length;
        }
    }
    return text;
}

std::string ScrubbedText(std::string_view AText, const std::vector<std::string>& ASecrets,
                         std::string_view APlaceholder) {
    // Whole words only: a user named "adm" must not turn "Admission.exe" into nonsense.
    const auto wordChar = [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u >= 0x80 || (c >= '0' && c <= '9') || (AsciiLower(c) >= 'a' && AsciiLower(c) <= 'z');
    };
    std::string text(AText);
    for (const std::string& secret : ASecrets) {
        if (secret.empty()) continue;
        std::string scrubbed;
        size_t at = 0;
        while (at < text.size()) {
            const bool starts = at == 0 || !wordChar(text[at - 1]) || !wordChar(secret.front());
            const size_t end = at + secret.size();
            const bool ends = end >= text.size() || !wordChar(text[end]) || !wordChar(secret.back());
            if (end <= text.size() && starts && ends &&
                SameIgnoringCase(std::string_view(text).substr(at, secret.size()), secret)) {
                scrubbed += APlaceholder;
                at = end;
            } else {
                scrubbed += text[at++];
            }
        }
        text = std::move(scrubbed);
    }
    return text;
}

std::string FleetTime(const TLogTime& ATime) {
    const int offset = std::abs(ATime.offsetMinutes);
    char text[40];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d", ATime.year, ATime.month,
                  ATime.day, ATime.hour, ATime.minute, ATime.second, ATime.offsetMinutes < 0 ? '-' : '+',
                  offset / 60, offset % 60);
    return text;
}

std::string FleetReportJson(const TFleetReport& AReport, const TFleetOrigin& AOrigin, const TLogTime& ATime) {
    std::string json = "{\"format\":\"aurevia-report/1\"";
    AddString(json, "machine", FleetText(AOrigin.Machine, kFleetMachineChars));
    AddString(json, "version", FleetText(AOrigin.Version, kFleetShortChars));
    AddString(json, "event", FleetEventName(AReport.Event));
    AddString(json, "module", FleetText(AReport.Module, kFleetModuleChars));
    AddString(json, "result", FleetResultName(AReport.Result));
    AddString(json, "reason", FleetReasonName(AReport.Reason));
    AddString(json, "text", FleetText(AReport.Text, kFleetTextChars));
    AddNumber(json, "files_listed", AReport.FilesListed);
    AddNumber(json, "files_fetched", AReport.FilesFetched);
    AddNumber(json, "files_failed", AReport.FilesFailed);
    AddNumber(json, "bytes", AReport.Bytes);
    AddNumber(json, "duration_ms", AReport.DurationMs);
    AddString(json, "time", FleetTime(ATime));
    const TFleetRelease& release = AReport.Release;
    if (release.Ring) AddString(json, "ring", FleetText(*release.Ring, kFleetShortChars));
    if (release.RolloutNumber) AddNumber(json, "rollout_number", *release.RolloutNumber);
    if (release.RolloutSerial) AddNumber(json, "rollout_serial", *release.RolloutSerial);
    if (release.Release) AddNumber(json, "release", *release.Release);
    json += '}';
    return json;
}

std::string FleetBatchText(const std::vector<std::string>& AReports) {
    std::string text = "[\n";
    for (size_t i = 0; i < AReports.size(); ++i) {
        if (i > 0) text += ",\n";
        text += AReports[i];
    }
    return text + "\n]\n";
}

std::vector<std::string> FleetBatchReports(std::string_view ABatchText) {
    std::vector<std::string> reports;
    size_t start = 0;
    while (start < ABatchText.size()) {
        size_t end = ABatchText.find('\n', start);
        if (end == std::string_view::npos) end = ABatchText.size();
        std::string_view line = ABatchText.substr(start, end - start);
        start = end + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == ',' || line.back() == ' '))
            line.remove_suffix(1);
        if (line.size() < 2 || line.front() != '{' || line.back() != '}') continue;
        rapidjson::Document document;
        document.Parse<rapidjson::kParseValidateEncodingFlag>(line.data(), line.size());
        if (document.HasParseError() || !document.IsObject()) continue;
        reports.emplace_back(line);
    }
    return reports;
}

size_t TrimFleetBatch(std::vector<std::string>& AReports, size_t AMaxReports, size_t AMaxBytes) {
    // The text's size without building it: brackets and separators are counted as FleetBatchText
    // writes them.
    size_t bytes = 3;
    for (const std::string& report : AReports) bytes += report.size() + 2;
    size_t drop = 0;
    while (drop < AReports.size() && (AReports.size() - drop > AMaxReports || bytes > AMaxBytes)) {
        bytes -= AReports[drop].size() + 2;
        ++drop;
    }
    AReports.erase(AReports.begin(), AReports.begin() + static_cast<std::ptrdiff_t>(drop));
    return drop;
}

TFleetReason FleetReasonOf(TErrorCategory ACategory) {
    switch (ACategory) {
        case TErrorCategory::Listing:
            return TFleetReason::Listing;
        case TErrorCategory::Fetch:
            return TFleetReason::Fetch;
        case TErrorCategory::Signature:
            return TFleetReason::Signature;
        case TErrorCategory::Expired:
            return TFleetReason::Expired;
        case TErrorCategory::Replayed:
            return TFleetReason::Replayed;
        case TErrorCategory::Altered:
            return TFleetReason::Altered;
        case TErrorCategory::Timeout:
            return TFleetReason::Timeout;
        case TErrorCategory::TooLarge:
            return TFleetReason::TooLarge;
        case TErrorCategory::Disk:
            return TFleetReason::Disk;
        case TErrorCategory::Tls:
            return TFleetReason::Tls;
        case TErrorCategory::Server:
            return TFleetReason::Server;
        case TErrorCategory::Other:
            break;
    }
    return TFleetReason::Other;
}
