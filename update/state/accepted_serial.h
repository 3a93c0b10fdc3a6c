#pragma once
// How launchers before the installation's state file (update/state/accepted_state.h) kept what they
// had accepted, read now to migrate it and written only where the program folder cannot be: the
// highest manifest serial in the user's registry (HKEY_CURRENT_USER\<subkey>, value "Serie
// Manifesto", REG_QWORD), and the rollout document's in a value of its own ("Serie Distribuicao"):
// the two documents number independently.
#include <cstdint>
#include <optional>
#include <string>

inline constexpr wchar_t kSerialRegistryKey[] = L"Software\\Aurevia";
inline constexpr wchar_t kSerialRegistryValue[] = L"Serie Manifesto";
inline constexpr wchar_t kRolloutSerialRegistryValue[] = L"Serie Distribuicao";

class TAcceptedSerial {
  public:
    // ASubKey: under HKEY_CURRENT_USER; the launcher uses kSerialRegistryKey. AValue: the value
    // that holds the serial.
    explicit TAcceptedSerial(std::wstring ASubKey, std::wstring AValue = kSerialRegistryValue);

    // Nothing until a manifest has been accepted; a value of another type or size counts as none.
    std::optional<uint64_t> Highest() const;
    // Stores ASerial when it is above the stored one. Raises when the registry refuses the write:
    // an acceptance that cannot be remembered would let the next rollback through.
    void Raise(uint64_t ASerial) const;
    // Deletes the value (once the installation's state file holds it); never raises.
    void Remove() const noexcept;

  private:
    std::wstring FSubKey;
    std::wstring FValue;
};
