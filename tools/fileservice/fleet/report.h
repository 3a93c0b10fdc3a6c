#pragma once
// A workstation's report of what one update did, as POST /report receives it: a JSON array of
// 1..50 objects of format "aurevia-report/1" or "/2" (each report names its own). Everything in it comes from
// an unauthenticated sender, so every member is checked for type, range, length and characters before it is
// kept; a batch with any fault is refused as a whole.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/fleet_report_format.h"

namespace fleet {

struct Report {
    std::string machine;  // 1-63 characters of a host name label
    std::string version;  // the launcher's version, digits and dots
    std::string event;    // startup | module | self-update
    std::string module;   // up to 64 characters, may be empty
    std::string result;   // ok | failed | refused
    std::string reason;   // a word of the fixed vocabulary, "none" for an ok
    std::string text;     // up to 200 characters
    uint64_t filesListed = 0, filesFetched = 0, filesFailed = 0, bytes = 0, durationMs = 0;
    std::string time;      // as sent, with its offset
    int64_t timeUnix = 0;  // the same instant in seconds since 1970 UTC
    std::string ring;      // empty: none sent
    std::optional<unsigned> rolloutNumber;
    std::optional<uint64_t> rolloutSerial;
    std::optional<uint64_t> release;
    // Format /2 only: a report of /1 knows nothing of these (format2 false), which is not "none".
    bool format2 = false;
    std::optional<uint64_t> staged;  // the staged release the workstation holds complete
    std::string stagedAt;            // since when, as sent ("" for none)
    int64_t stagedAtUnix = 0;
    std::optional<uint64_t> storeBytes, wireBytes, filesPatched;
};

// Why a batch was refused, in words meant for the sender's log (never echoes the input's bytes).
class ReportError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The reports of a request body. Members not in the format are refused: the format's name carries
// its version, so an addition comes with a new name, and a misspelt member is an error rather than
// a value silently lost. Throws ReportError.
std::vector<Report> ParseReportBatch(std::string_view body);

// "YYYY-MM-DDTHH:MM:SS" followed by "Z" or "+HH:MM"/"-HH:MM", an existing date; nullopt otherwise.
std::optional<int64_t> ParseReportTime(std::string_view text);

}  // namespace fleet
