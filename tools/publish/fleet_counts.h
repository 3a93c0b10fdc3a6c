#pragma once
// What the fleet service says of the staged releases: per ring of its served folder's rollout
// document that stages one, how many workstations of the ring said they hold it complete (GET
// <url>/painel/preparadas.json, which the service answers only to --painel-allow's addresses).
// Read over plain HTTP with a deadline for the whole exchange and a cap on the answer: `status`
// must end on time and print the rest whatever the service does.
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace publish {

struct FleetStagedRing {
    std::string ring;
    uint64_t staged = 0;
    uint64_t holding = 0, workstations = 0;
};

struct FleetCounts {
    bool reached = false;
    std::string error;  // why not, in words for the operator
    std::vector<FleetStagedRing> rings;
    uint64_t moreRings = 0;  // rings the service did not count (its --painel-rings)
};

// The answer is at most this long; a longer one is refused, not read on.
constexpr size_t kMostFleetCountsBytes = 256 * 1024;

// url: "http://HOST[:PORT][/PATH]". Never throws.
FleetCounts ReadFleetCounts(const std::string& url,
                            std::chrono::milliseconds deadline = std::chrono::milliseconds(5000));

}  // namespace publish
