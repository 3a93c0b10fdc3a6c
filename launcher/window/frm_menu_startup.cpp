// What start-up leaves behind it besides the window: the log's start line and the sweep of the
// temporary files that crashed launchers left in the program folder.
#include <windows.h>

#include "launcher/window/frm_menu.h"
#include "launcher/self_update/launcher_files.h"
#include "launcher/settings/program_path.h"
#include "base/event_log.h"
#include "update/disk/leftover_sweep.h"

void TFrmMenu::LogStart() {
    TLogLine line(TLogLevel::Info, "start");
    line.Add("version", ::FileVersionOf(ProgramFileName()))
        .Add("pid", GetCurrentProcessId())
        .Add("folder", FLocalPath);
    if (!FUrl.empty()) {
        line.Add("source", "url").Add("url", FUrl);
    } else if (!Unconfigured()) {
        line.Add("source", "folder").Add("server", FRemotePath);
    } else {
        line.Add("source", "none");
    }
    LogEvent(line);
}

void TFrmMenu::StartLeftoverSweep() {
    // Off the UI thread: on a share with many files the listing alone may take a while. The window
    // joins it when it goes.
    FSweep = std::thread([folders = std::vector<std::wstring>{FLocalPath, FLocalPath + L"Relatorio\\"}] {
        for (const std::wstring& folder : folders)
            for (const std::wstring& path : SweepLeftoverTemporaries(folder))
                LogEvent(TLogLine(TLogLevel::Info, "leftover-removed").Add("file", path));
    });
}
