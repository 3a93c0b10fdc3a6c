#pragma once
// The self-update check the menu window runs each time it becomes the active form: replaces the
// launcher from the server folder when it has another build, tells the user, quits this process and
// starts its successor. Runs on the UI thread and blocks it while the copy runs.
#include <functional>
#include <string>

#include "update/plan/update_verification.h"

// Runs one check unless one is running already (its notices let activations through) or this
// process has replaced its executable. AQuit ends this process's window for good; it runs after the
// success notice and before the successor starts.
void CheckSelfUpdateOnce(const std::wstring& AServerFolder, const TUpdateVerification& AVerification,
                         const std::function<void()>& AQuit);
