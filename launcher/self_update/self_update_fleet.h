#pragma once
// The self-update's decision as a report to the fleet view.
#include <string>

#include "launcher/self_update/self_update.h"
#include "launcher/fleet/fleet_report.h"

// AReason: the decision's reason as the log names it ("same version", "not the signed release", ...);
// ACategory: for a launcher not replaced, the kind of failure, which gives the fleet its reason (a
// refusal for what trust refused, a failure for the rest).
TFleetReport SelfUpdateFleetReport(TSelfUpdateOutcome AOutcome, std::string_view AReason,
                                   TErrorCategory ACategory, const std::wstring& ALocalVersion,
                                   const std::wstring& AServerVersion);
