#include "launcher/catalogue/program_folder.h"

#include <windows.h>

#include <vector>

#include "base/error.h"
#include "base/event_log.h"
#include "launcher/catalogue/folders.h"
#include "launcher/self_update/launcher_files.h"
#include "launcher/settings/program_path.h"
#include "update/disk/leftover_sweep.h"

void LogLauncherStart(const std::wstring& ALocalPath, const TSettings& ASettings) {
    TLogLine line(TLogLevel::Info, "start");
    line.Add("version", FileVersionOf(ProgramFileName()))
        .Add("pid", GetCurrentProcessId())
        .Add("folder", ALocalPath);
    if (!ASettings.Url.empty()) {
        line.Add("source", "url").Add("url", ASettings.Url);
    } else if (HasServer(ASettings)) {
        line.Add("source", "folder").Add("server", ASettings.RemotePath);
    } else {
        line.Add("source", "none");
    }
    // Where the settings came from: those named here from machine policy, the rest from Aurevia.ini.
    std::wstring fromPolicy;
    for (const std::wstring& name : ASettings.FromPolicy)
        fromPolicy += (fromPolicy.empty() ? L"" : L",") + name;
    line.Add("policy", fromPolicy.empty() ? std::wstring(L"none") : fromPolicy);
    LogEvent(line);
}

void CreateReportFolder(const std::wstring& ALocalPath) {
    if (!EnsureFolder(ALocalPath + L"Relatorio"))
        throw Error("Não Criou o Diretório Relatorio. Contacte o Aurevia.", TErrorCategory::Disk);
}

std::shared_ptr<ITask> StartLeftoverSweep(const std::wstring& ALocalPath) {
    // Off the UI thread: on a share with many files the listing alone may take a while.
    return TTask::New([folders = std::vector<std::wstring>{ALocalPath, ALocalPath + L"Relatorio\\"}] {
               for (const std::wstring& folder : folders)
                   for (const std::wstring& path : SweepLeftoverTemporaries(folder))
                       LogEvent(TLogLine(TLogLevel::Info, "leftover-removed").Add("file", path));
           })
        ->Start();
}
