#pragma once
// Turns on the launcher's reports to the fleet view when the settings name a fleet service.
#include <string>

#include "update/transport/proxy_setting.h"

// Starts the process's reports to the fleet service at AFleetUrl (the settings' FleetUrl) with this
// workstation's name and the launcher's version, through AProxy as the updates go. Without a URL
// nothing happens.
void StartFleetReports(std::wstring AFleetUrl, const TProxySetting& AProxy = {});
