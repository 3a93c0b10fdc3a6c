#pragma once
// The two remote-support tools: brought up to date from the server folder by the shell's copy and
// started from the launcher's own folder. Runs on the UI thread and blocks until the copy has ended.
#include <windows.h>

#include <string>

#include "launcher/support/shell_file_operation.h"

inline constexpr wchar_t kSupportTool1[] = L"TeamViewerQS_pt.exe";
inline constexpr wchar_t kSupportTool2[] = L"Supremo.exe";

// Copies ASourceFolder + AFileName into ADestFolder when the destination copy is missing or its DOS
// last-write time differs; a stale destination copy is deleted first. Does nothing when the source
// is missing. The lists of AOperation are emptied first, so nothing of an earlier run is copied again.
void CopyFromServer(TShellFileOperation& AOperation, HWND AOwner, const std::wstring& ASourceFolder,
                    const std::wstring& ADestFolder, const std::wstring& AFileName);

// CreateProcessW of the file (quoted) as the whole command line, with the launcher's start-up record; the
// handles are closed at once and a failed start is not reported. False when the file is missing.
bool StartSupportTool(const std::wstring& AProgram, STARTUPINFOW& AStartupInfo,
                      PROCESS_INFORMATION& AProcessInfo);
