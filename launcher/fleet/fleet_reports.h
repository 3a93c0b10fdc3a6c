#pragma once
// The launcher's reports to the fleet view: queued by whoever finished an update and sent by a task
// of the process's pool, so that no user ever waits for them. Reports that could not be delivered wait in a
// small spool file and go with the next one; the spool keeps at most one batch (50 reports, 64 KiB),
// dropping the oldest first. Every launcher of the user shares the spool (see fleet_spool.h).
#include <windows.h>

#include <memory>
#include <mutex>
#include <string>

#include "launcher/fleet/fleet_report.h"
#include "launcher/fleet/fleet_sender.h"

struct TFleetSettings {
    // Aurevia.ini [Frota] url=; empty: no report is made, sent or written.
    std::wstring Url;
    // %LOCALAPPDATA%\Aurevia\fleet-spool.json (DefaultFleetSpoolPath).
    std::wstring SpoolPath;
    TFleetOrigin Origin;
    TFleetTimeouts Timeouts;
    // How the reports reach the service: as the updates do (Aurevia.ini [Rede] "Proxy").
    TProxySetting Proxy;
    // Texts never carry these (the user's name, the profile folder): see ScrubbedText.
    std::vector<std::string> Secrets;
    // Closing waits this long for a send under way, then leaves it to the end of the process.
    DWORD CloseWaitMs = 500;
};

struct TFleetState;

class TFleetReports {
  public:
    TFleetReports() = default;
    explicit TFleetReports(TFleetSettings ASettings) { Start(std::move(ASettings)); }
    ~TFleetReports() { Close(); }
    TFleetReports(const TFleetReports&) = delete;
    TFleetReports& operator=(const TFleetReports&) = delete;

    // Turns the reports on (once; an empty URL leaves them off).
    void Start(TFleetSettings ASettings);
    bool Enabled() const;
    // What release control knows; fills the release fields of every later report that has none.
    void SetRelease(const TFleetRelease& ARelease);
    // The staged release the workstation holds complete (none: AStaged.Release empty); fills every
    // later report that has none. The same release again keeps the time it was first found complete,
    // also by an earlier launcher of the user (remembered beside the spool). UI thread.
    void SetStaged(const TFleetStaged& AStaged);
    // Stamps the report with the time and the workstation and queues it. Any thread; never waits, never
    // raises; does nothing while the reports are off.
    void Send(const TFleetReport& AReport) noexcept;
    // Waits until every report queued so far has been delivered or spooled; false after ATimeoutMs.
    bool Flush(DWORD ATimeoutMs);
    // Spools what is still queued (waiting at most CloseWaitMs for a sender that is only spooling, never
    // for one waiting for the service); the reports are off afterwards.
    void Close() noexcept;

  private:
    mutable std::mutex FLock;
    std::shared_ptr<TFleetState> FState;
};

// The process's reports, off until started (the menu window starts them from Aurevia.ini).
TFleetReports& FleetReports();

// %LOCALAPPDATA%\Aurevia\fleet-spool.json.
std::wstring DefaultFleetSpoolPath();

// The settings for this workstation: its computer name (never the user's), the launcher's version, the
// user's name and profile folder as the secrets, the default spool.
TFleetSettings WorkstationFleetSettings(std::wstring AUrl, std::string ALauncherVersion);
