#pragma once
// The fleet view's side of an update's outcome: each outcome becomes one report to the fleet view.
#include "launcher/fleet/fleet_report.h"
#include "update/report/update_outcome.h"

// The report of one update: the module's event or the start-up refresh's, its counts, and the
// reason its failure's category stands for.
TFleetReport FleetReportOfUpdate(const TUpdateOutcome& AOutcome);

// Whether the outcome is worth a report: an update that the user ended by closing the launcher is
// neither the workstation's failure nor the server's, and would only be noise in the fleet view.
bool FleetReportsUpdate(const TUpdateOutcome& AOutcome);

// Sends every later update's outcome that is worth it to the process's reports (FleetReports()).
void ReportUpdatesToFleet();
