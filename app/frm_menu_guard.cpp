// The menu window's single-instance guard: created with the components, checked before the
// catalogue and FormCreate, so that a rejected start reads no configuration, adds no tray icon,
// creates no folder and shows nothing.
#include "app/application.h"
#include "app/frm_menu.h"
#include "app/single_instance.h"

void TFrmMenu::CreateInstanceGuard() {
    FInstanceGuard = std::make_shared<TSingleInstance>(Application.Instance());
}

void TFrmMenu::CheckInstanceGuard() {
    // Ends the process with exit code 0 when another instance of this executable is running.
    if (FInstanceGuard) static_cast<TSingleInstance*>(FInstanceGuard.get())->Check();
}
