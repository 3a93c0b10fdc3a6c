#include "launcher/fleet/fleet_start.h"

#include "base/string_convert.h"
#include "launcher/fleet/fleet_reports.h"
#include "launcher/fleet/fleet_update_observer.h"
#include "launcher/self_update/launcher_files.h"
#include "launcher/settings/program_path.h"

void StartFleetReports(std::wstring AFleetUrl, const TProxySetting& AProxy) {
    if (AFleetUrl.empty()) return;
    TFleetSettings settings =
        WorkstationFleetSettings(std::move(AFleetUrl), WideToUtf8(FileVersionOf(ProgramFileName())));
    settings.Proxy = AProxy;
    FleetReports().Start(std::move(settings));
    ReportUpdatesToFleet();
}
