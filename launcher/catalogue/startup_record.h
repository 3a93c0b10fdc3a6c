#pragma once
// The process-wide records shared by every program start (modules, support tools, the new
// launcher). Filled by the menu window at creation; UI thread only.
#include <windows.h>

extern STARTUPINFOW StartupInfo;
extern PROCESS_INFORMATION ProcessInfo;

// cb, STARTF_USESHOWWINDOW and SW_SHOWNORMAL; every other field 0.
void FillStartupRecord();
