// Program entry: the application object, the menu window, the message loop.
#include <windows.h>

#include <memory>

#include "launcher/window/application.h"
#include "launcher/guard/early_guard.h"
#include "launcher/window/frm_menu.h"
#include "base/error_display.h"
#include "base/event_log.h"
#include "dialogs/message_dialogs.h"
#include "launcher/fleet/fleet_reports.h"
#include "update/records/user_locale_format.h"

int WINAPI wWinMain(HINSTANCE AInstance, HINSTANCE, PWSTR, int) {
    try {
        CheckSingleInstance(AInstance);
        Application.Initialize(AInstance);
        Application.SetTitle(L"Aurevia");
        SetApplicationTitle(L"Aurevia");
        // Date-time messages of the file service's answers use the user's own date and time format.
        UseUserLocaleDateTimeFormat();
        auto form = std::make_unique<TFrmMenu>();
        form->Show();
        const int exitCode = Application.Run();
        form.reset();  // destroys the window, which removes the tray icon
        LogEvent(TLogLine(TLogLevel::Info, "end").Add("pid", GetCurrentProcessId()).Add("code", exitCode));
        FleetReports().Close();
        CloseEventLog();
        return exitCode;
    } catch (const std::exception& error) {
        ShowTopLevelError(error);
        FleetReports().Close();
        CloseEventLog();
        return 1;
    }
}
