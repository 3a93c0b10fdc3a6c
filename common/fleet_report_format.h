#pragma once
// The fleet report, format "aurevia-report/1": its words, limits and name rules, shared by the
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
