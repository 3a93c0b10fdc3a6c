#include "launcher/guard/early_guard.h"

namespace {

std::shared_ptr<TSingleInstance>& CheckedGuard() {
    static std::shared_ptr<TSingleInstance> guard;
    return guard;
}

}  // namespace

void CheckSingleInstance(HINSTANCE AInstance) {
    auto guard = std::make_shared<TSingleInstance>(AInstance);
    // Ends the process with exit code 0 when another instance of this executable is running.
    guard->Check();
    CheckedGuard() = std::move(guard);
}

std::shared_ptr<TSingleInstance> TakeCheckedGuard() { return std::move(CheckedGuard()); }
