#pragma once
// What the page, the CSV and the metrics show: per ring, the release the rollout document gives it
// and how its workstations stand, and a few bounded lists of workstations. Computed by SQL over the
// workstations' latest states (fleet_query.h), never by loading them all.
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
    std::optional<uint64_t> staged;  // the release the ring stages for its next switch
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

// The ring's entry of the document, else "geral"'s, else none.
const RingTarget* TargetOf(const RolloutView& rollout, const std::string& ring);

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
    int64_t holdingStaged = 0;  // said they hold the ring's staged release complete
};

// Up to a limit of rows, and how many there are in all.
struct MachineList {
    std::vector<MachineRow> rows;  // by machine name
    int64_t total = 0;
};

// How much of the fleet one page, CSV or metrics text shows.
struct ViewLimits {
    size_t rows = 100;     // per list of workstations on the page
    size_t rings = 50;     // rings in the table and as metrics labels (the document's first)
    size_t releases = 12;  // releases in the chart and as metrics labels (the most common)
    size_t csvRows = 50000;
};

struct FleetView {
    // The rings shown, by name: the document's rings, then those with the most workstations.
    std::vector<RingSummary> rings;
    RingSummary total;        // every workstation
    int64_t moreRings = 0;    // rings with workstations beyond those shown
    RingSummary moreSummary;  // their workstations together
    MachineList failing, behind, stale;
    std::string search;  // "" for none
    MachineList found;   // the workstations whose name holds `search`
    int staleDays = 7;
    int64_t now = 0;
};

}  // namespace fleet
