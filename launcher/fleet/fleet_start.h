#pragma once
// Turns on the launcher's reports to the fleet view when the settings name a fleet service.
#include <string>

// Starts the process's reports to the fleet service at AFleetUrl (the settings' FleetUrl) with this
// workstation's name and the launcher's version. Without a URL nothing happens.
void StartFleetReports(std::wstring AFleetUrl);
