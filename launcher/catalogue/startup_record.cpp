#include "launcher/catalogue/startup_record.h"

STARTUPINFOW StartupInfo{};
PROCESS_INFORMATION ProcessInfo{};

void FillStartupRecord() {
    StartupInfo = STARTUPINFOW{};
    StartupInfo.cb = sizeof(StartupInfo);
    StartupInfo.dwFlags = STARTF_USESHOWWINDOW;
    StartupInfo.wShowWindow = SW_SHOWNORMAL;
}
