#pragma once
// Where a workstation falls in a ring's rollout: its number (0..99), drawn afresh for each release
// so that the same machines are not always the first to take one.
#include <cstdint>
#include <string>

// The workstation's rollout number in a ring for a release, hashed with CNG.
unsigned WorkstationRolloutNumber(const std::string& AMachine, const std::string& ARing, uint64_t ARelease);

// The machine value that rollout numbers are derived from: HKLM\SOFTWARE\Microsoft\Cryptography
// "MachineGuid" (the 64-bit view), or the computer name when that is absent.
std::string MachineRolloutValue();
