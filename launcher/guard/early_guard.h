#pragma once
// The single-instance guard made and checked by the entry before anything else is built (the
// application window, the pictures, the menu window), so that a rejected second start costs no more
// than the guard itself. The menu window takes it over and keeps it for its life. UI thread.
#include <windows.h>

#include <memory>

#include "launcher/guard/single_instance.h"

// Makes the guard and checks it at once: a second start of this executable ends here (exit code 0).
void CheckSingleInstance(HINSTANCE AInstance);

// The guard CheckSingleInstance made and checked, handed over once; null when there is none (a
// window built without that early check, in a test, makes and checks its own).
std::shared_ptr<TSingleInstance> TakeCheckedGuard();
