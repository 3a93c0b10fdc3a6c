#include "launcher/guard/instance_registry.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr std::size_t kLimitOffset = 0;
constexpr std::size_t kCountOffset = 2;
constexpr std::size_t kIdsOffset = 4;
static_assert(kIdsOffset + kInstanceRegistryCapacity * 4 == kInstanceRegistrySize);
}  // namespace

// memcpy keeps the reads free of alignment and aliasing assumptions; the block is little-endian
// like every platform this runs on.
std::uint16_t InstanceRegistry::Read16(std::size_t AOffset) const {
    std::uint16_t value;
    std::memcpy(&value, FBytes.data() + AOffset, sizeof value);
    return value;
}

void InstanceRegistry::Write16(std::size_t AOffset, std::uint16_t AValue) {
    std::memcpy(FBytes.data() + AOffset, &AValue, sizeof AValue);
}

std::uint16_t InstanceRegistry::Limit() const { return Read16(kLimitOffset); }

void InstanceRegistry::SetLimitIfUnset(std::uint16_t ALimit) {
    if (Limit() == 0) Write16(kLimitOffset, ALimit);
}

std::size_t InstanceRegistry::Count() const {
    return std::min<std::size_t>(Read16(kCountOffset), kInstanceRegistryCapacity);
}

void InstanceRegistry::SetCount(std::size_t ACount) {
    Write16(kCountOffset, static_cast<std::uint16_t>(ACount));
}

std::uint32_t InstanceRegistry::At(std::size_t AIndex) const {
    std::uint32_t value;
    std::memcpy(&value, FBytes.data() + kIdsOffset + AIndex * 4, sizeof value);
    return value;
}

void InstanceRegistry::Put(std::size_t AIndex, std::uint32_t AProcessId) {
    std::memcpy(FBytes.data() + kIdsOffset + AIndex * 4, &AProcessId, sizeof AProcessId);
}

std::vector<std::uint32_t> InstanceRegistry::ProcessIds() const {
    std::vector<std::uint32_t> ids(Count());
    for (std::size_t i = 0; i < ids.size(); ++i) ids[i] = At(i);
    return ids;
}

bool InstanceRegistry::Append(std::uint32_t AProcessId) {
    const std::size_t count = Count();
    if (count >= kInstanceRegistryCapacity) return false;
    Put(count, AProcessId);
    SetCount(count + 1);
    return true;
}

void InstanceRegistry::Remove(std::uint32_t AProcessId) {
    RemoveIf([AProcessId](std::uint32_t id) { return id == AProcessId; });
}

std::size_t InstanceRegistry::RemoveIf(const std::function<bool(std::uint32_t)>& ADead) {
    const std::size_t count = Count();
    std::size_t kept = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t id = At(i);
        if (!ADead(id)) Put(kept++, id);
    }
    for (std::size_t i = kept; i < count; ++i) Put(i, 0);
    // Also rewrites a count that was beyond the capacity.
    if (kept != count || Read16(kCountOffset) != count) SetCount(kept);
    return count - kept;
}

std::wstring InstanceIdentityOf(std::wstring_view AUpperCasePath) {
    std::wstring identity = L"APPINST";
    identity.append(AUpperCasePath);
    std::replace(identity.begin() + 7, identity.end(), L'\\', L'_');
    return identity;
}
