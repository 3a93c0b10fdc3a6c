#include "tools/fileservice/fleet/fleet_view.h"

namespace fleet {

const RingTarget* TargetOf(const RolloutView& rollout, const std::string& ring) {
    const RingTarget* geral = nullptr;
    for (const RingTarget& target : rollout.rings) {
        if (target.ring == ring) return &target;
        if (target.ring == "geral" && !geral) geral = &target;
    }
    return geral;
}

}  // namespace fleet
