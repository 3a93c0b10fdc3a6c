#include "launcher/settings/settings.h"

TSettings ReadSettings(const std::wstring& AProgramFolder) {
    return ReadSettingsFrom(AProgramFolder + kIniFileName, kPolicyKey);
}
