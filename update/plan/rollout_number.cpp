#include "update/plan/rollout_number.h"

#include <windows.h>

#include "base/string_convert.h"
#include "update/trust/cng.h"
#include "update/trust/release_documents.h"

unsigned WorkstationRolloutNumber(const std::string& AMachine, const std::string& ARing, uint64_t ARelease) {
    return RolloutNumberFromDigest(Sha256Of(RolloutNumberInput(AMachine, ARing, ARelease)));
}

std::string MachineRolloutValue() {
    wchar_t guid[80] = {};
    DWORD size = sizeof(guid);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Cryptography", L"MachineGuid",
                     RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY, nullptr, guid, &size) == ERROR_SUCCESS &&
        guid[0] != L'\0')
        return WideToUtf8(guid);
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = static_cast<DWORD>(std::size(name));
    if (GetComputerNameW(name, &length)) return WideToUtf8(std::wstring(name, length));
    return {};
}
