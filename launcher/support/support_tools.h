#pragma once
// The two remote-support tools: brought up to date from the server folder by the shell's copy and
// started from the launcher's own folder. Runs on the UI thread and blocks until the copy has ended.
#include <windows.h>

#include <string>

#include "launcher/support/shell_file_operation.h"
#include "update/plan/update_verification.h"

inline constexpr wchar_t kSupportTool1[] = L"TeamViewerQS_pt.exe";
inline constexpr wchar_t kSupportTool2[] = L"Supremo.exe";

// Copies ASourceFolder + AFileName into ADestFolder when the destination copy is missing or its DOS
// last-write time differs; a stale destination copy is deleted first. Does nothing when the source
// is missing. The lists of AOperation are emptied first, so nothing of an earlier run is copied again.
void CopyFromServer(TShellFileOperation& AOperation, HWND AOwner, const std::wstring& ASourceFolder,
                    const std::wstring& ADestFolder, const std::wstring& AFileName);

// With verification: brings ADestFolder + AFileName up to the tool that the plan resolves from the
// server folder (update/plan/release_plan.h: the flat folder's accepted manifest, or the release
// that release control assigns), fetched into a temporary, checked and only then renamed, so that a
// tool altered on the server never lands in the folder; then tells whether AProgram (the launcher's
// own copy) may start. Returns why it may not: the refusal's reason, or "arquivo alterado" when the
// program is not exactly the signed tool or the server's copy was refused for its content. Empty
// when it may, or when there is no program to start.
std::wstring UpdateSignedSupportTool(const TUpdateVerification& AVerification,
                                     const std::wstring& AServerFolder, const std::wstring& ADestFolder,
                                     const std::wstring& AProgram, const std::wstring& AFileName);

// CreateProcessW of the file (quoted) as the whole command line, with the launcher's start-up record; the
// handles are closed at once and a failed start is not reported. False when the file is missing.
bool StartSupportTool(const std::wstring& AProgram, STARTUPINFOW& AStartupInfo,
                      PROCESS_INFORMATION& AProcessInfo);
