#pragma once
// The fleet view's reads: every figure is a SQL aggregate or a bounded list over the workstations'
// latest states, with the rollout document's rule for which release a workstation should run
// written once, in SQL. Memory and output stay flat in the number of workstations and reports;
// each read runs on a Store::Reader and so stops at its budget.
#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/fileservice/fleet/fleet_view.h"
#include "tools/fileservice/fleet/store.h"

namespace fleet {

FleetView QueryView(sqlite3* db, const RolloutView& rollout, int64_t now, int staleDays,
                    const ViewLimits& limits, const std::string& search);

// Calls `row` for the first `limit` workstations whose name holds `search` ("" for all), by name;
// returns how many there are in all.
int64_t ForEachMachine(sqlite3* db, const RolloutView& rollout, int64_t now, int staleDays,
                       const std::string& search, size_t limit,
                       const std::function<void(const MachineRow&)>& row);

// Per day from `fromDay`, workstations by release: the `releases` most common releases of the
// period each, the rest together (DayCount::others).
std::vector<DayCount> QueryDays(sqlite3* db, const std::string& fromDay, size_t releases);

// The workstation's latest `limit` reports, newest first (its name matched without letter case).
std::vector<StoredReport> QueryHistory(sqlite3* db, const std::string& machine, int limit);

// Workstations per (ring, release) label pair, for the metrics: rings outside `rings` and all but
// the `releases` most common releases counted under kOthersLabel.
constexpr char kOthersLabel[] = "outros";
std::map<std::pair<std::string, std::string>, int64_t> QueryWorkstationSeries(
    sqlite3* db, const std::vector<std::string>& rings, size_t releases);

}  // namespace fleet
