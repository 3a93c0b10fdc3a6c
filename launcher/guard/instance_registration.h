#pragma once
// The named objects through which instances of one executable find each other (see
// InstanceIdentity): a lock, three registries of process identifiers in named shared memory and a
// registered message. A process joins the registries with its first guard and leaves them with its
// last one, and tells every registered instance both times.
#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "launcher/guard/instance_windows.h"

// "APPINST" + the executable's full path, upper-cased, every "\" turned into "_".
std::wstring InstanceIdentity(std::wstring_view AExecutablePath);
// The identity of the running executable.
std::wstring CurrentInstanceIdentity();

// The names of the named objects of one identity, as this process (its session and account) sees
// them.
struct TInstanceObjectNames {
    std::wstring Message;  // registered window message
    std::wstring Lock;     // cross-process lock around every registry access
    std::wstring All;      // registry of all instances: decides the check
    std::wstring Session;  // registry of this session's instances
    std::wstring User;     // registry of this account's instances
};
TInstanceObjectNames InstanceObjectNames(const std::wstring& AIdentity);

// Counts a guard of this process and opens the named objects once per process. Returns the
// registered message, or 0 when the objects cannot be made (the guard then stays inert).
UINT OpenInstanceRegistries();
// Registers this process (once) and tells every registered instance, this one included.
void RegisterInstance();
// Uncounts a guard; the last one leaves the registries.
void DropInstanceGuard();
// The registered message, 0 while the named objects are not usable.
UINT InstanceMessage();
// The all-instances registry as it stands, oldest first, without the entries of ended processes.
std::vector<std::uint32_t> LiveInstances();

// Takes this process out of the registries now, so that a successor started right afterwards (the
// self-update) is not rejected as a second start. Safe to call more than once and from a process
// without a guard; a guard destroyed later does not register the process again.
void LeaveInstanceRegistries();
