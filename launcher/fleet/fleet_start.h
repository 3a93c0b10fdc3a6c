#pragma once
// Turns on the launcher's reports to the fleet view when Aurevia.ini names a fleet service.
#include <string>

// Reads [Frota] url= of the Aurevia.ini in ALocalPath (ending in "\"), starts the process's reports
// with this workstation's name and the launcher's version, and has every later update's outcome
// reported. Without a URL nothing happens.
void StartFleetReports(const std::wstring& ALocalPath);
