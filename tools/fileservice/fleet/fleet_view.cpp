#include "tools/fileservice/fleet/fleet_view.h"

#include <algorithm>
#include <map>

namespace fleet {

namespace {

const RingTarget* TargetOf(const RolloutView& rollout, const std::string& ring) {
    const RingTarget* geral = nullptr;
    for (const RingTarget& target : rollout.rings) {
        if (target.ring == ring) return &target;
        if (target.ring == "geral") geral = &target;
    }
    return geral;
}

}  // namespace

FleetView Summarize(std::vector<Machine> machines, const RolloutView& rollout, int64_t now, int staleDays) {
    FleetView view;
    view.now = now;
    view.staleDays = staleDays;
    std::map<std::string, RingSummary> rings;
    for (const RingTarget& target : rollout.rings) rings[target.ring] = {target.ring, target};
    for (Machine& machine : machines) {
        MachineRow row;
        const RingTarget* target = TargetOf(rollout, machine.ring);
        RingSummary& ring = rings[machine.ring];
        ring.ring = machine.ring;
        if (target && !ring.target) ring.target = *target;
        if (target) {
            row.onRelease = machine.release == target->release;
            if (machine.rolloutNumber)
                row.expected = *machine.rolloutNumber < target->percent
                                   ? target->release
                                   : target->previous.value_or(target->release);
            else if (target->percent >= 100 || !target->previous)
                row.expected = target->release;
            row.behind = row.expected && machine.release.value_or(0) < *row.expected;
        }
        row.failing = machine.result != "ok";
        row.stale = now - machine.lastSeen > int64_t(staleDays) * 86400;
        ring.machines++;
        ring.onRelease += row.onRelease;
        ring.behind += row.behind;
        ring.failing += row.failing;
        ring.stale += row.stale;
        row.machine = std::move(machine);
        view.rows.push_back(std::move(row));
    }
    for (auto& [name, ring] : rings) view.rings.push_back(std::move(ring));
    return view;
}

}  // namespace fleet
