#pragma once
// The byte layout of one single-instance registry, a 1032-byte shared block:
//   offset 0  uint16  limit (0 = not yet set)
//   offset 2  uint16  count of registered instances
//   offset 4  uint32  process identifiers in registration order, room for 257
// Kept free of platform headers; the caller maps the block and holds the cross-process lock.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::size_t kInstanceRegistrySize = 1032;
inline constexpr std::size_t kInstanceRegistryCapacity = 257;
inline constexpr std::uint16_t kAllInstancesLimit = 65535;

using InstanceRegistryBytes = std::span<std::byte, kInstanceRegistrySize>;

class InstanceRegistry {
  public:
    explicit InstanceRegistry(InstanceRegistryBytes ABytes) : FBytes(ABytes) {}

    std::uint16_t Limit() const;
    void SetLimitIfUnset(std::uint16_t ALimit);
    // The stored count, trusted only up to the capacity: another process may have written nonsense.
    std::size_t Count() const;
    std::uint32_t At(std::size_t AIndex) const;
    std::vector<std::uint32_t> ProcessIds() const;
    // Appends at index = count. A full registry is left unchanged and false is returned.
    bool Append(std::uint32_t AProcessId);
    // Removes every entry of the process; later entries move down.
    void Remove(std::uint32_t AProcessId);
    // Removes the entries for which ADead answers true; returns how many went.
    std::size_t RemoveIf(const std::function<bool(std::uint32_t)>& ADead);

  private:
    std::uint16_t Read16(std::size_t AOffset) const;
    void Write16(std::size_t AOffset, std::uint16_t AValue);
    void SetCount(std::size_t ACount);
    void Put(std::size_t AIndex, std::uint32_t AProcessId);

    InstanceRegistryBytes FBytes;
};

// "APPINST" + the upper-cased executable path with every "\" turned into "_". The caller upper-cases,
// since only the platform knows the file system's case mapping.
std::wstring InstanceIdentityOf(std::wstring_view AUpperCasePath);
