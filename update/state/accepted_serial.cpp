#include "update/state/accepted_serial.h"

#include <windows.h>

#include "base/win32_error.h"

TAcceptedSerial::TAcceptedSerial(std::wstring ASubKey, std::wstring AValue)
    : FSubKey(std::move(ASubKey)), FValue(std::move(AValue)) {}

std::optional<uint64_t> TAcceptedSerial::Highest() const {
    uint64_t value = 0;
    DWORD size = sizeof(value);
    if (RegGetValueW(HKEY_CURRENT_USER, FSubKey.c_str(), FValue.c_str(), RRF_RT_REG_QWORD, nullptr, &value,
                     &size) != ERROR_SUCCESS)
        return std::nullopt;
    return value;
}

void TAcceptedSerial::Raise(uint64_t ASerial) const {
    const std::optional<uint64_t> highest = Highest();
    if (highest && *highest >= ASerial) return;
    const LSTATUS status = RegSetKeyValueW(HKEY_CURRENT_USER, FSubKey.c_str(), FValue.c_str(), REG_QWORD,
                                           &ASerial, sizeof(ASerial));
    if (status != ERROR_SUCCESS) throw Win32Error(static_cast<DWORD>(status), TErrorCategory::Other);
}

void TAcceptedSerial::Remove() const noexcept {
    RegDeleteKeyValueW(HKEY_CURRENT_USER, FSubKey.c_str(), FValue.c_str());
}
