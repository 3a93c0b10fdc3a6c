// Program entry: the application object, the menu window, the message loop.
#include <windows.h>

#include <memory>

#include "app/application.h"
#include "app/frm_menu.h"
#include "base/error_display.h"
#include "dialogs/message_dialogs.h"

int WINAPI wWinMain(HINSTANCE AInstance, HINSTANCE, PWSTR, int) {
    try {
        Application.Initialize(AInstance);
        Application.SetTitle(L"Aurevia");
        SetApplicationTitle(L"Aurevia");
        auto form = std::make_unique<TFrmMenu>();
        form->Show();
        const int exitCode = Application.Run();
        form.reset();  // destroys the window, which removes the tray icon
        return exitCode;
    } catch (const std::exception& error) {
        ShowTopLevelError(error);
        return 1;
    }
}
