// The menu window's single-instance guard: taken over from the entry's early check (early_guard.h).
// A window built without that check (in a test) makes its own guard with its components and checks
// it before the catalogue and FormCreate, so that a rejected start reads no configuration, adds no
// tray icon, creates no folder and shows nothing.
#include "launcher/guard/early_guard.h"
#include "launcher/window/application.h"
#include "launcher/window/frm_menu.h"

void TFrmMenu::CreateInstanceGuard() {
    std::shared_ptr<TSingleInstance> checked = TakeCheckedGuard();
    FInstanceGuardChecked = checked != nullptr;
    FInstanceGuard = FInstanceGuardChecked ? std::move(checked)
                                           : std::make_shared<TSingleInstance>(Application.Instance());
}

void TFrmMenu::CheckInstanceGuard() {
    // Ends the process with exit code 0 when another instance of this executable is running.
    if (FInstanceGuard && !FInstanceGuardChecked)
        static_cast<TSingleInstance*>(FInstanceGuard.get())->Check();
}
