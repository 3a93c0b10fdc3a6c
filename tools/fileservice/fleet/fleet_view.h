#pragma once
// What the page, the CSV and the metrics show, computed once from the workstations' latest states
// and the rollout document: per ring, the release it rolls out and how its workstations stand.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tools/fileservice/fleet/store.h"

namespace fleet {

// A ring's entry of the served folder's rollout document.
struct RingTarget {
    std::string ring;
    uint64_t release = 0;
    std::optional<uint64_t> previous;
    unsigned percent = 100;
};

struct RolloutView {
    bool present = false;  // the folder holds aurevia-rollout.json
    std::string error;     // it could not be read or decoded (shown on the page)
    uint64_t serial = 0;
    int64_t expiresUnix = 0;
    std::vector<RingTarget> rings;
};

// Reads <folder>/aurevia-rollout.json for display. Its signature is not checked: the page only
// shows what the folder tells the workstations, and they check the signature themselves.
RolloutView ReadRollout(const std::filesystem::path& folder);

struct MachineRow {
    Machine machine;
    std::optional<uint64_t> expected;  // the release its ring's rollout gives it, when known
    bool onRelease = false;            // runs the release its ring rolls out
    bool behind = false;               // runs an older release than the rollout gives it
    bool failing = false;              // its latest report failed or was refused
    bool stale = false;                // not heard from for more than the stale period
};

struct RingSummary {
    std::string ring;                  // "" for workstations that sent no ring
    std::optional<RingTarget> target;  // the ring's entry, else "geral"'s
    int64_t machines = 0, onRelease = 0, behind = 0, failing = 0, stale = 0;
};

struct FleetView {
    std::vector<RingSummary> rings;  // by name; the document's rings without workstations too
    std::vector<MachineRow> rows;    // by machine name
    int staleDays = 7;
    int64_t now = 0;
};

FleetView Summarize(std::vector<Machine> machines, const RolloutView& rollout, int64_t now, int staleDays);

}  // namespace fleet
