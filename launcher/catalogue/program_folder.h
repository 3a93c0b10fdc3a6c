#pragma once
// What start-up does in the launcher's own folder besides the window: the log's start line, the
// report folder, and the sweep of the temporary files that crashed launchers left. UI thread.
#include <memory>
#include <string>

#include "launcher/settings/settings.h"
#include "tasks/task.h"

// The log's start line: the launcher's version, its process, ALocalPath and where it updates from.
void LogLauncherStart(const std::wstring& ALocalPath, const TSettings& ASettings);

// Creates ALocalPath + "Relatorio" unless it exists (a link to a folder counts); raises
// "Não Criou o Diretório Relatorio. Contacte o Aurevia." when it cannot.
void CreateReportFolder(const std::wstring& ALocalPath);

// Removes, as a task of the process's pool, the temporaries left in ALocalPath and its report folder,
// logging each. The task logs until it ends: its starter waits for it before the log may close.
std::shared_ptr<ITask> StartLeftoverSweep(const std::wstring& ALocalPath);
