#include "launcher/catalogue/module_options.h"

#include "base/error.h"

void TModuleOptions::AddModule(const TImage* ATile, const std::wstring& AModuleName, bool AAdditionalFiles) {
    if (!FModules.try_emplace(ATile, TModuleInfo{AModuleName, AAdditionalFiles}).second)
        throw Error("Duplicates not allowed", TErrorCategory::Other);
}

bool TModuleOptions::TryGetModule(const TImage* ATile, TModuleInfo& AInfo) const {
    const auto found = FModules.find(ATile);
    if (found == FModules.end()) {
        AInfo = TModuleInfo{};
        return false;
    }
    AInfo = found->second;
    return true;
}
