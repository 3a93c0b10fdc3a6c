#pragma once
// The highest manifest serial this workstation has accepted, kept in the user's registry
// (HKEY_CURRENT_USER\<subkey>, value "Serie Manifesto", REG_QWORD) where the module files that an
// update writes cannot reach it. A lower serial served later is an old release replayed.
#include <cstdint>
#include <optional>
#include <string>

inline constexpr wchar_t kSerialRegistryKey[] = L"Software\\Aurevia";
inline constexpr wchar_t kSerialRegistryValue[] = L"Serie Manifesto";

class TAcceptedSerial {
  public:
    // ASubKey: under HKEY_CURRENT_USER; the launcher uses kSerialRegistryKey.
    explicit TAcceptedSerial(std::wstring ASubKey);

    // Nothing until a manifest has been accepted; a value of another type or size counts as none.
    std::optional<uint64_t> Highest() const;
    // Stores ASerial when it is above the stored one. Raises when the registry refuses the write:
    // an acceptance that cannot be remembered would let the next rollback through.
    void Raise(uint64_t ASerial) const;

  private:
    std::wstring FSubKey;
};
