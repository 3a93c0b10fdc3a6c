#include "launcher/fleet/fleet_start.h"

#include "launcher/settings/configuration.h"
#include "launcher/self_update/launcher_files.h"
#include "launcher/settings/program_path.h"
#include "base/string_convert.h"
#include "launcher/fleet/fleet_reports.h"
#include "launcher/fleet/fleet_update_observer.h"

void StartFleetReports(const std::wstring& ALocalPath) {
    std::wstring url = ReadFleetUrl(ALocalPath + kIniFileName);
    if (url.empty()) return;
    FleetReports().Start(
        WorkstationFleetSettings(std::move(url), WideToUtf8(FileVersionOf(ProgramFileName()))));
    ReportUpdatesToFleet();
}
