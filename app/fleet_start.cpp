#include "app/fleet_start.h"

#include "app/configuration.h"
#include "app/launcher_files.h"
#include "app/program_path.h"
#include "base/string_convert.h"
#include "fleet/fleet_reports.h"

void StartFleetReports(const std::wstring& ALocalPath) {
    std::wstring url = ReadFleetUrl(ALocalPath + kIniFileName);
    if (url.empty()) return;
    FleetReports().Start(
        WorkstationFleetSettings(std::move(url), WideToUtf8(FileVersionOf(ProgramFileName()))));
}
