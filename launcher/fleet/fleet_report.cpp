#include "launcher/fleet/fleet_report.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "common/instant.h"
#include "common/json_writer.h"
#include "common/utf8.h"

namespace {

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
    for (size_t chars = 0; !AText.empty() && chars < AMaxChars; ++chars) {
        const Utf8Sequence sequence = DecodeUtf8(AText);
        // The service refuses control characters.
        if (sequence.length == 0)
            AppendUtf8(text, kReplacementCharacter);
        else if (IsControlCharacter(sequence.point))
            text += ' ';
        else
            text.append(AText.substr(0, sequence.length));
        AText.remove_prefix(sequence.length ? sequence.length : 1);
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
    return OffsetTimeText({ATime.year, ATime.month, ATime.day, ATime.hour, ATime.minute, ATime.second},
                          ATime.offsetMinutes);
}

std::string FleetReportJson(const TFleetReport& AReport, const TFleetOrigin& AOrigin, const TLogTime& ATime,
                            bool AFormat2) {
    const bool format2 = AFormat2 && (AReport.Staged.Release || AReport.StoreBytes || AReport.WireBytes ||
                                      AReport.FilesPatched);
    JsonWriter json;
    json.StartObject();
    json.Member("format", format2 ? kFleetReportFormat2 : kFleetReportFormat);
    json.Member("machine", FleetMachineName(AOrigin.Machine));
    json.Member("version", FleetText(AOrigin.Version, kFleetShortChars));
    json.Member("event", FleetEventName(AReport.Event));
    json.Member("module", FleetText(AReport.Module, kFleetModuleChars));
    json.Member("result", FleetResultName(AReport.Result));
    json.Member("reason", FleetReasonName(AReport.Reason));
    json.Member("text", FleetText(AReport.Text, kFleetTextChars));
    json.Member("files_listed", AReport.FilesListed);
    json.Member("files_fetched", AReport.FilesFetched);
    json.Member("files_failed", AReport.FilesFailed);
    json.Member("bytes", AReport.Bytes);
    json.Member("duration_ms", AReport.DurationMs);
    json.Member("time", FleetTime(ATime));
    const TFleetRelease& release = AReport.Release;
    if (release.Ring) json.Member("ring", FleetText(*release.Ring, kFleetShortChars));
    if (release.RolloutNumber) json.Member("rollout_number", *release.RolloutNumber);
    if (release.RolloutSerial) json.Member("rollout_serial", *release.RolloutSerial);
    if (release.Release) json.Member("release", *release.Release);
    if (format2) {
        // Bounded as the service bounds them: a value past its bound is left out, not sent to be
        // refused with the whole batch.
        const TFleetStaged& staged = AReport.Staged;
        if (staged.Release && *staged.Release > 0 && *staged.Release <= kFleetMostSerial) {
            json.Member("staged", *staged.Release);
            // A time from the note beside the spool may have been edited: only one the service takes.
            const auto since = ParseOffsetTime(staged.Since);
            if (since && staged.Since.size() <= kFleetTimeChars && staged.Since.substr(0, 4) >= "1970")
                json.Member("staged_at", staged.Since);
        }
        const auto count = [&json](const char* AName, const std::optional<uint64_t>& AValue, uint64_t AMost) {
            if (AValue && *AValue <= AMost) json.Member(AName, *AValue);
        };
        count("store_bytes", AReport.StoreBytes, kFleetMostBytes);
        count("wire_bytes", AReport.WireBytes, kFleetMostBytes);
        count("files_patched", AReport.FilesPatched, kFleetMostFiles);
    }
    json.EndObject();
    return json.Text();
}

std::string FleetReportAsFormat1(const std::string& AReport, bool* AWasFormat2) {
    if (AWasFormat2) *AWasFormat2 = false;
    rapidjson::Document parsed;
    parsed.Parse<rapidjson::kParseValidateEncodingFlag>(AReport.data(), AReport.size());
    const rapidjson::Document& document = parsed;
    if (document.HasParseError() || !document.IsObject()) return AReport;
    const auto format = document.FindMember("format");
    if (format == document.MemberEnd() || !format->value.IsString() ||
        std::string_view(format->value.GetString(), format->value.GetStringLength()) != kFleetReportFormat2)
        return AReport;
    if (AWasFormat2) *AWasFormat2 = true;
    // Written member by member in their order, so that the report reads as one of /1.
    rapidjson::StringBuffer text;
    rapidjson::Writer<rapidjson::StringBuffer> writer(text);
    writer.StartObject();
    for (const auto& member : document.GetObject()) {
        const std::string_view name(member.name.GetString(), member.name.GetStringLength());
        if (IsFleetWord(name, kFleetReport2Members)) continue;
        writer.Key(name.data(), static_cast<rapidjson::SizeType>(name.size()));
        if (name == "format")
            writer.String(kFleetReportFormat.data(),
                          static_cast<rapidjson::SizeType>(kFleetReportFormat.size()));
        else
            member.value.Accept(writer);
    }
    writer.EndObject();
    return std::string(text.GetString(), text.GetSize());
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
