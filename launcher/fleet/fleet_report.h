#pragma once
// One report of a workstation to the fleet view, and the batches they travel in (portable).
//
// A report is one JSON object, written on one line:
//   {"format":"aurevia-report/1","machine":"WS-ADM-01","version":"2022.2.8249.63552","event":"module",
//    "module":"Admission.exe","result":"ok","reason":"none","text":"","files_listed":49,
//    "files_fetched":3,"files_failed":0,"bytes":123456,"duration_ms":850,
//    "time":"2026-12-10T17:30:00-03:00","ring":"geral","rollout_number":42,
//    "rollout_serial":1765400000,"release":3}
// The release-control fields are written only when known. To a service that takes format
// "aurevia-report/2" (it says so in each answer, see common/fleet_report_format.h), a report with any
// of the facts below is written as /2 with them added:
//   "staged":5,"staged_at":"2026-12-10T08:02:11-03:00","store_bytes":80000,"wire_bytes":1200,
//   "files_patched":2
// A batch is a JSON array of 1..50 reports,
// the newest last, at most 64 KiB. Every text is valid UTF-8 whatever it was given: a service that
// refuses a malformed batch would otherwise refuse it for ever.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "base/log_line.h"
#include "common/fleet_report_format.h"

enum class TFleetEvent { Startup, Module, SelfUpdate };
enum class TFleetResult { Ok, Failed, Refused };
enum class TFleetReason {
    None,
    Listing,
    Fetch,
    Signature,
    Expired,
    Replayed,
    Altered,
    Timeout,
    TooLarge,
    Disk,
    Tls,
    Server,
    Other,
};

std::string_view FleetEventName(TFleetEvent AEvent);
std::string_view FleetResultName(TFleetResult AResult);
std::string_view FleetReasonName(TFleetReason AReason);

// What release control knows of the workstation's release; each part only when there is one.
struct TFleetRelease {
    std::optional<std::string> Ring;  // UTF-8
    std::optional<uint64_t> RolloutNumber;
    std::optional<uint64_t> RolloutSerial;  // the rollout document's serial
    std::optional<uint64_t> Release;        // the release's (manifest's) serial
};

// The staged release the workstation holds complete, and since when (FleetTime).
struct TFleetStaged {
    std::optional<uint64_t> Release;
    std::string Since;
};

// What happened to one update, as the update knows it.
struct TFleetReport {
    TFleetEvent Event = TFleetEvent::Startup;
    std::string Module;  // the module's executable name; empty for the start-up refresh
    TFleetResult Result = TFleetResult::Ok;
    TFleetReason Reason = TFleetReason::None;
    std::string Text;  // UTF-8; cut to kFleetTextChars characters when written
    uint64_t FilesListed = 0;
    uint64_t FilesFetched = 0;
    uint64_t FilesFailed = 0;
    uint64_t Bytes = 0;
    uint64_t DurationMs = 0;
    TFleetRelease Release;
    // Format /2 only: left out for a service that has not said it takes /2.
    TFleetStaged Staged;
    std::optional<uint64_t> StoreBytes;  // of Bytes, taken from the workstation's store
    std::optional<uint64_t> WireBytes;   // body bytes that crossed the link
    std::optional<uint64_t> FilesPatched;
};

// Who sends: the computer's name and the launcher's version.
struct TFleetOrigin {
    std::string Machine;
    std::string Version;
};

// AText as valid UTF-8 of at most AMaxChars characters (code points): invalid sequences become U+FFFD,
// control characters (C0, DEL, C1) a blank, and the cut never splits a character.
std::string FleetText(std::string_view AText, size_t AMaxChars);

// The text with every whole-word occurrence of each of ASecrets (ASCII letters compared without case)
// replaced by APlaceholder; empty secrets are ignored. Keeps the user's name and profile folder out.
std::string ScrubbedText(std::string_view AText, const std::vector<std::string>& ASecrets,
                         std::string_view APlaceholder);

// "2026-12-10T17:30:00-03:00": the log's time without its milliseconds.
std::string FleetTime(const TLogTime& ATime);

// The report as one JSON object on one line: format /1 exactly as services in the field take it, or,
// with AFormat2 and any /2 fact to tell, format /2.
std::string FleetReportJson(const TFleetReport& AReport, const TFleetOrigin& AOrigin, const TLogTime& ATime,
                            bool AFormat2 = false);

// A report of format /2 as /1: its /2 members left out, the others as they were. Any other report
// (one of /1, a line this launcher cannot read) comes back unchanged. AWasFormat2, when given, tells.
std::string FleetReportAsFormat1(const std::string& AReport, bool* AWasFormat2 = nullptr);

// The reports (each one JSON object) as one batch: "[\n" r1 ",\n" r2 "\n]\n". The spool file holds
// the same text, so that a line is a report.
std::string FleetBatchText(const std::vector<std::string>& AReports);

// The reports of a batch or spool text, in order; a line that is not one JSON object (a file cut short
// or edited by hand) is skipped, the others are kept.
std::vector<std::string> FleetBatchReports(std::string_view ABatchText);

// Drops the oldest reports until the batch holds at most AMaxReports and its text at most AMaxBytes;
// answers how many were dropped.
size_t TrimFleetBatch(std::vector<std::string>& AReports, size_t AMaxReports = kFleetBatchReports,
                      size_t AMaxBytes = kFleetBatchBytes);

// The fleet view's reason for a failure of that category.
TFleetReason FleetReasonOf(TErrorCategory ACategory);
