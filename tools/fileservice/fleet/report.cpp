#include "tools/fileservice/fleet/report.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <ctime>
#include <set>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

namespace fleet {

namespace {

constexpr std::array kEvents{"startup", "module", "self-update"};
constexpr std::array kResults{"ok", "failed", "refused"};
constexpr std::array kReasons{"none",    "listing",   "fetch", "signature", "expired", "replayed", "altered",
                              "timeout", "too_large", "disk",  "tls",       "server",  "other"};

template <size_t N>
bool OneOf(std::string_view value, const std::array<const char*, N>& words) {
    return std::any_of(words.begin(), words.end(), [&](const char* word) { return value == word; });
}

// Code points of valid UTF-8 (the parser has validated the encoding), or nullopt when a control
// character (C0, DEL or C1) is among them: such text could forge lines in a log or a CSV row.
std::optional<size_t> PrintableLength(std::string_view text) {
    size_t count = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) return std::nullopt;
        // U+0080..U+009F are C2 80..C2 9F.
        if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) <= 0x9F)
            return std::nullopt;
        if ((c & 0xC0) != 0x80) ++count;
    }
    return count;
}

bool HostLabel(std::string_view name) {
    if (name.empty() || name.size() > 63 || name.front() == '-') return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
               c == '_';
    });
}

bool VersionText(std::string_view version) {
    if (version.empty() || version.size() > 32 || version.front() == '.' || version.back() == '.')
        return false;
    return std::all_of(version.begin(), version.end(),
                       [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
}

bool RingName(std::string_view ring) {
    if (ring.size() > 32) return false;
    return std::all_of(ring.begin(), ring.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    });
}

class Fields {
  public:
    Fields(const rapidjson::Value& object, size_t index)
        : object_(object), where_("report " + std::to_string(index + 1)) {}

    [[noreturn]] void Fail(std::string_view member, std::string_view what) const {
        throw ReportError(where_ + ": " + std::string(member) + ": " + std::string(what));
    }

    const rapidjson::Value* Find(const char* name) const {
        const auto it = object_.FindMember(name);
        return it == object_.MemberEnd() ? nullptr : &it->value;
    }

    std::string Text(const char* name, size_t maxChars, bool required = true) const {
        const rapidjson::Value* value = Find(name);
        if (!value) {
            if (required) Fail(name, "missing");
            return {};
        }
        if (!value->IsString()) Fail(name, "not a string");
        const std::string_view text(value->GetString(), value->GetStringLength());
        const auto length = PrintableLength(text);
        if (!length) Fail(name, "holds a control character");
        if (*length > maxChars) Fail(name, "longer than " + std::to_string(maxChars) + " characters");
        return std::string(text);
    }

    uint64_t Count(const char* name, uint64_t max) const {
        const rapidjson::Value* value = Find(name);
        if (!value) Fail(name, "missing");
        if (!value->IsUint64()) Fail(name, "not a whole number of 0 or more");
        if (value->GetUint64() > max) Fail(name, "larger than " + std::to_string(max));
        return value->GetUint64();
    }

    // Absent or null: none.
    std::optional<uint64_t> OptionalCount(const char* name, uint64_t max) const {
        const rapidjson::Value* value = Find(name);
        if (!value || value->IsNull()) return std::nullopt;
        return Count(name, max);
    }

  private:
    const rapidjson::Value& object_;
    std::string where_;
};

constexpr std::array kMembers{
    "format",      "machine", "version",      "event",          "module",         "result",
    "reason",      "text",    "files_listed", "files_fetched",  "files_failed",   "bytes",
    "duration_ms", "time",    "ring",         "rollout_number", "rollout_serial", "release"};

Report ReadReport(const rapidjson::Value& object, size_t index) {
    const Fields fields(object, index);
    if (!object.IsObject()) fields.Fail("report", "not an object");
    std::set<std::string_view> seen;
    for (const auto& member : object.GetObject()) {
        const std::string_view name(member.name.GetString(), member.name.GetStringLength());
        if (!OneOf(name, kMembers)) fields.Fail("member", "not part of the format");
        if (!seen.insert(name).second) fields.Fail(name, "given twice");
    }
    if (fields.Text("format", 32) != "aurevia-report/1") fields.Fail("format", "not aurevia-report/1");

    Report report;
    report.machine = fields.Text("machine", 63);
    if (!HostLabel(report.machine)) fields.Fail("machine", "not a host name of 1-63 letters, digits, - or _");
    report.version = fields.Text("version", 32);
    if (!VersionText(report.version)) fields.Fail("version", "not a version of digits and dots");
    report.event = fields.Text("event", 16);
    if (!OneOf(report.event, kEvents)) fields.Fail("event", "not startup, module or self-update");
    report.module = fields.Text("module", 64, false);
    report.result = fields.Text("result", 16);
    if (!OneOf(report.result, kResults)) fields.Fail("result", "not ok, failed or refused");
    report.reason = fields.Text("reason", 16);
    if (!OneOf(report.reason, kReasons)) fields.Fail("reason", "not a known reason");
    report.text = fields.Text("text", 200, false);

    // Bounds far above anything real, so that sums and charts cannot overflow.
    constexpr uint64_t kMaxFiles = 10'000'000, kMaxBytes = 1ULL << 50, kMaxMs = 30ULL * 24 * 3600 * 1000;
    report.filesListed = fields.Count("files_listed", kMaxFiles);
    report.filesFetched = fields.Count("files_fetched", kMaxFiles);
    report.filesFailed = fields.Count("files_failed", kMaxFiles);
    report.bytes = fields.Count("bytes", kMaxBytes);
    report.durationMs = fields.Count("duration_ms", kMaxMs);

    report.time = fields.Text("time", 25);
    const auto unix = ParseReportTime(report.time);
    if (!unix) fields.Fail("time", "not YYYY-MM-DDTHH:MM:SS with Z or an offset");
    report.timeUnix = *unix;

    if (const auto* ring = fields.Find("ring"); ring && !ring->IsNull()) {
        report.ring = fields.Text("ring", 32);
        if (!RingName(report.ring)) fields.Fail("ring", "not 1-32 characters of a-z, 0-9, _ or -");
    }
    if (const auto number = fields.OptionalCount("rollout_number", 99))
        report.rolloutNumber = unsigned(*number);
    report.rolloutSerial = fields.OptionalCount("rollout_serial", UINT64_MAX >> 1);
    report.release = fields.OptionalCount("release", UINT64_MAX >> 1);
    if (report.release == 0u) report.release.reset();  // 0: the workstation follows no release
    return report;
}

bool Digits(std::string_view text, size_t at, size_t count, int& out) {
    out = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
        out = out * 10 + (text[i] - '0');
    }
    return true;
}

}  // namespace

std::optional<int64_t> ParseReportTime(std::string_view text) {
    int year, month, day, hour, minute, second, offsetHours = 0, offsetMinutes = 0;
    if (text.size() < 20 || !Digits(text, 0, 4, year) || text[4] != '-' || !Digits(text, 5, 2, month) ||
        text[7] != '-' || !Digits(text, 8, 2, day) || text[10] != 'T' || !Digits(text, 11, 2, hour) ||
        text[13] != ':' || !Digits(text, 14, 2, minute) || text[16] != ':' || !Digits(text, 17, 2, second))
        return std::nullopt;
    int sign = 0;
    if (text.size() == 20 && text[19] == 'Z') {
    } else if (text.size() == 25 && (text[19] == '+' || text[19] == '-') &&
               Digits(text, 20, 2, offsetHours) && text[22] == ':' && Digits(text, 23, 2, offsetMinutes) &&
               offsetHours <= 14 && offsetMinutes < 60) {
        sign = text[19] == '+' ? 1 : -1;
    } else {
        return std::nullopt;
    }
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (year < 1970 || month < 1 || month > 12 || day < 1 ||
        day > kDays[month - 1] + (month == 2 && leap ? 1 : 0) || hour > 23 || minute > 59 || second > 59)
        return std::nullopt;
    std::tm parts{};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    return static_cast<int64_t>(timegm(&parts)) - sign * (offsetHours * 3600 + offsetMinutes * 60);
}

std::vector<Report> ParseReportBatch(std::string_view body) {
    if (body.size() > kMaxBatchBytes) throw ReportError("the batch is larger than 64 KiB");
    rapidjson::Document document;
    // Nesting is bounded by the iterative parser's own stack, not the thread's.
    document.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag>(body.data(),
                                                                                           body.size());
    if (document.HasParseError())
        throw ReportError(std::string("not JSON: ") + rapidjson::GetParseError_En(document.GetParseError()) +
                          " at byte " + std::to_string(document.GetErrorOffset()));
    if (!document.IsArray()) throw ReportError("the body is not a JSON array of reports");
    const auto reports = document.GetArray();
    if (reports.Empty()) throw ReportError("the batch holds no report");
    if (reports.Size() > kMaxBatchReports) throw ReportError("the batch holds more than 50 reports");
    std::vector<Report> batch;
    batch.reserve(reports.Size());
    for (size_t i = 0; i < reports.Size(); ++i) batch.push_back(ReadReport(reports[i], i));
    return batch;
}

}  // namespace fleet
