#pragma once
// The fleet report, formats "aurevia-report/1" and "aurevia-report/2": their words, limits and name
// rules, shared by the
// workstation that writes it (launcher/fleet/fleet_report.h) and the fleet service that checks it
// (tools/fileservice/fleet/report.h). A report the launcher writes within these is one the service
// takes; a batch the service refuses is refused for ever, so the two may never drift apart.
// Portable.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

inline constexpr std::string_view kFleetReportFormat = "aurevia-report/1";
// /1 with what the background fetch and an update's transfer add. A service that takes it says so in
// a header of every answer to a batch; a launcher sends /2 only to a service that said so (services in
// the field refuse the new members, and a refused batch is refused for ever).
inline constexpr std::string_view kFleetReportFormat2 = "aurevia-report/2";
inline constexpr std::string_view kFleetFormatsHeader = "Aurevia-Report-Formats";
inline constexpr std::string_view kFleetFormatsTaken = "aurevia-report/1, aurevia-report/2";

inline constexpr std::array<std::string_view, 3> kFleetEventWords = {"startup", "module", "self-update"};
inline constexpr std::array<std::string_view, 3> kFleetResultWords = {"ok", "failed", "refused"};
inline constexpr std::array<std::string_view, 13> kFleetReasonWords = {
    "none",    "listing",   "fetch", "signature", "expired", "replayed", "altered",
    "timeout", "too_large", "disk",  "tls",       "server",  "other"};
// Every member a report may hold; anything else is refused, as the format's name carries its version.
inline constexpr std::array<std::string_view, 18> kFleetReportMembers = {
    "format",      "machine", "version",      "event",          "module",         "result",
    "reason",      "text",    "files_listed", "files_fetched",  "files_failed",   "bytes",
    "duration_ms", "time",    "ring",         "rollout_number", "rollout_serial", "release"};
// What /2 adds, each optional: the staged release the workstation holds complete and since when (the
// launcher's local time with its offset, as "time"); of an update, the bytes taken from the
// workstation's store, the body bytes that crossed the link and the files made from a patch.
inline constexpr std::array<std::string_view, 5> kFleetReport2Members = {"staged", "staged_at", "store_bytes",
                                                                         "wire_bytes", "files_patched"};

// Lengths in characters (code points).
inline constexpr size_t kFleetTextChars = 200;
inline constexpr size_t kFleetMachineChars = 63;
inline constexpr size_t kFleetModuleChars = 64;
inline constexpr size_t kFleetShortChars = 32;  // version, ring
// A batch is a JSON array of 1..kFleetBatchReports reports, at most kFleetBatchBytes long.
inline constexpr size_t kFleetBatchReports = 50;
inline constexpr size_t kFleetBatchBytes = 64 * 1024;
// Far above anything real, so that the service's sums and charts cannot overflow.
inline constexpr uint64_t kFleetMostFiles = 10'000'000;
inline constexpr uint64_t kFleetMostBytes = 1ULL << 50;
inline constexpr uint64_t kFleetMostDurationMs = 30ULL * 24 * 3600 * 1000;
inline constexpr uint64_t kFleetMostRolloutNumber = 99;
// Release and rollout serials are kept in SQLite's signed 64 bits.
inline constexpr uint64_t kFleetMostSerial = UINT64_MAX >> 1;
inline constexpr size_t kFleetTimeChars = 25;

// Whether an answer's kFleetFormatsHeader value names /2 (a list separated by commas and blanks).
bool FleetFormatsTakeFormat2(std::string_view headerValue);

template <size_t N>
constexpr bool IsFleetWord(std::string_view word, const std::array<std::string_view, N>& words) {
    for (const std::string_view known : words)
        if (word == known) return true;
    return false;
}

// The machine is a host name label: 1-63 of A-Z, a-z, 0-9, "-" and "_", not starting with "-". The
// service shows it in its page, its CSV and its log, so nothing else may reach them.
bool IsFleetMachineName(std::string_view name);
// A computer's name (UTF-8) as the report names it: each character outside the rule becomes "_", and
// the name is cut to 63 characters. Windows lets a computer's name hold characters a host name may
// not ("$", ".", letters beyond ASCII); refusing those reports would silence the workstation.
std::string FleetMachineName(std::string_view computerName);

// The launcher's version: 1-32 digits and dots, neither first nor last a dot.
bool IsFleetVersion(std::string_view version);
// A ring: up to 32 of a-z, 0-9, "_" and "-" (the release documents' ring rule; empty for none).
bool IsFleetRingName(std::string_view ring);
