#include "tools/fileservice/fleet/report.h"

#include <algorithm>
#include <set>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include "common/instant.h"
#include "common/utf8.h"

namespace fleet {

namespace {

// Code points of valid UTF-8 (the parser has validated the encoding), or nullopt when a control
// character (C0, DEL or C1) is among them: such text could forge lines in a log or a CSV row.
std::optional<size_t> PrintableLength(std::string_view text) {
    size_t count = 0;
    for (; !text.empty(); ++count) {
        const Utf8Sequence sequence = DecodeUtf8(text);
        if (sequence.length == 0 || IsControlCharacter(sequence.point)) return std::nullopt;
        text.remove_prefix(sequence.length);
    }
    return count;
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

Report ReadReport(const rapidjson::Value& object, size_t index) {
    const Fields fields(object, index);
    if (!object.IsObject()) fields.Fail("report", "not an object");
    const std::string format = fields.Text("format", 32);
    const bool format2 = format == kFleetReportFormat2;
    if (format != kFleetReportFormat && !format2)
        fields.Fail("format", "not aurevia-report/1 or aurevia-report/2");
    std::set<std::string_view> seen;
    for (const auto& member : object.GetObject()) {
        const std::string_view name(member.name.GetString(), member.name.GetStringLength());
        if (!IsFleetWord(name, kFleetReportMembers) && !(format2 && IsFleetWord(name, kFleetReport2Members)))
            fields.Fail("member", "not part of the format");
        if (!seen.insert(name).second) fields.Fail(name, "given twice");
    }

    Report report;
    report.format2 = format2;
    report.machine = fields.Text("machine", kFleetMachineChars);
    if (!IsFleetMachineName(report.machine))
        fields.Fail("machine", "not a host name of 1-63 letters, digits, - or _");
    report.version = fields.Text("version", kFleetShortChars);
    if (!IsFleetVersion(report.version)) fields.Fail("version", "not a version of digits and dots");
    report.event = fields.Text("event", 16);
    if (!IsFleetWord(report.event, kFleetEventWords))
        fields.Fail("event", "not startup, module or self-update");
    report.module = fields.Text("module", kFleetModuleChars, false);
    report.result = fields.Text("result", 16);
    if (!IsFleetWord(report.result, kFleetResultWords)) fields.Fail("result", "not ok, failed or refused");
    report.reason = fields.Text("reason", 16);
    if (!IsFleetWord(report.reason, kFleetReasonWords)) fields.Fail("reason", "not a known reason");
    report.text = fields.Text("text", kFleetTextChars, false);

    report.filesListed = fields.Count("files_listed", kFleetMostFiles);
    report.filesFetched = fields.Count("files_fetched", kFleetMostFiles);
    report.filesFailed = fields.Count("files_failed", kFleetMostFiles);
    report.bytes = fields.Count("bytes", kFleetMostBytes);
    report.durationMs = fields.Count("duration_ms", kFleetMostDurationMs);

    report.time = fields.Text("time", kFleetTimeChars);
    const auto unix = ParseReportTime(report.time);
    if (!unix) fields.Fail("time", "not YYYY-MM-DDTHH:MM:SS with Z or an offset");
    report.timeUnix = *unix;

    if (const auto* ring = fields.Find("ring"); ring && !ring->IsNull()) {
        report.ring = fields.Text("ring", kFleetShortChars);
        if (!IsFleetRingName(report.ring)) fields.Fail("ring", "not 1-32 characters of a-z, 0-9, _ or -");
    }
    if (const auto number = fields.OptionalCount("rollout_number", kFleetMostRolloutNumber))
        report.rolloutNumber = unsigned(*number);
    report.rolloutSerial = fields.OptionalCount("rollout_serial", kFleetMostSerial);
    report.release = fields.OptionalCount("release", kFleetMostSerial);
    if (report.release == 0u) report.release.reset();  // 0: the workstation follows no release
    if (!format2) return report;

    report.staged = fields.OptionalCount("staged", kFleetMostSerial);
    if (report.staged == 0u) report.staged.reset();
    if (const auto* at = fields.Find("staged_at"); at && !at->IsNull()) {
        if (!report.staged) fields.Fail("staged_at", "given without staged");
        report.stagedAt = fields.Text("staged_at", kFleetTimeChars);
        const auto atUnix = ParseReportTime(report.stagedAt);
        if (!atUnix) fields.Fail("staged_at", "not YYYY-MM-DDTHH:MM:SS with Z or an offset");
        report.stagedAtUnix = *atUnix;
    }
    report.storeBytes = fields.OptionalCount("store_bytes", kFleetMostBytes);
    report.wireBytes = fields.OptionalCount("wire_bytes", kFleetMostBytes);
    report.filesPatched = fields.OptionalCount("files_patched", kFleetMostFiles);
    return report;
}

}  // namespace

std::optional<int64_t> ParseReportTime(std::string_view text) {
    const auto instant = ParseOffsetTime(text);
    // Reports come from launchers of today: a local date before 1970 is a clock gone wrong.
    if (!instant || text.substr(0, 4) < "1970") return std::nullopt;
    return instant->unixSeconds;
}

std::vector<Report> ParseReportBatch(std::string_view body) {
    if (body.size() > kFleetBatchBytes) throw ReportError("the batch is larger than 64 KiB");
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
    if (reports.Size() > kFleetBatchReports) throw ReportError("the batch holds more than 50 reports");
    std::vector<Report> batch;
    batch.reserve(reports.Size());
    for (size_t i = 0; i < reports.Size(); ++i) batch.push_back(ReadReport(reports[i], i));
    return batch;
}

}  // namespace fleet
