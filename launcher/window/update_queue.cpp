#include "launcher/window/update_queue.h"

#include <algorithm>

void TUpdateQueue::Begin(const std::wstring& AModuleName) {
    FUpdating = true;
    FRunningModule = AModuleName;
}

bool TUpdateQueue::Defer(const std::wstring& AModuleName, bool AAdditionalFiles) {
    if (!FUpdating) return false;
    const bool waiting = std::any_of(FPending.begin(), FPending.end(),
                                     [&](const TModuleInfo& p) { return p.FModuleName == AModuleName; });
    if (AModuleName != FRunningModule && !waiting)
        FPending.push_back(TModuleInfo{AModuleName, AAdditionalFiles});
    return true;
}

std::optional<TUpdateQueue::TModuleInfo> TUpdateQueue::Finish() {
    FUpdating = false;
    FRunningModule.clear();
    if (FPending.empty()) return std::nullopt;
    TModuleInfo next = FPending.front();
    FPending.pop_front();
    return next;
}

void TUpdateQueue::Abandon() {
    FPending.clear();
    FUpdating = false;
    FRunningModule.clear();
}
