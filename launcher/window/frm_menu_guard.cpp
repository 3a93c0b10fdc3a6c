// The menu window's single-instance guard. The entry makes and checks it before anything else is
// built (the application window, the pictures, the menu window), so that a rejected second start
// costs no more than the guard itself; the menu window then takes it over and keeps it for its
// life. A window built without that early check (in a test) makes its own guard with its
// components and checks it before the catalogue and FormCreate, so that a rejected start reads no
// configuration, adds no tray icon, creates no folder and shows nothing.
#include "launcher/window/application.h"
#include "launcher/window/frm_menu.h"
#include "launcher/guard/single_instance.h"

namespace {

// The guard made and checked by the entry, until the menu window takes it.
std::shared_ptr<void>& EarlyGuard() {
    static std::shared_ptr<void> guard;
    return guard;
}

}  // namespace

void CheckSingleInstance(HINSTANCE AInstance) {
    auto guard = std::make_shared<TSingleInstance>(AInstance);
    // Ends the process with exit code 0 when another instance of this executable is running.
    guard->Check();
    EarlyGuard() = std::move(guard);
}

void TFrmMenu::CreateInstanceGuard() {
    FInstanceGuardChecked = EarlyGuard() != nullptr;
    FInstanceGuard = FInstanceGuardChecked ? std::move(EarlyGuard())
                                           : std::make_shared<TSingleInstance>(Application.Instance());
}

void TFrmMenu::CheckInstanceGuard() {
    // Ends the process with exit code 0 when another instance of this executable is running.
    if (FInstanceGuard && !FInstanceGuardChecked)
        static_cast<TSingleInstance*>(FInstanceGuard.get())->Check();
}
