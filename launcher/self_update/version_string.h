#pragma once
// The launcher's short form of a four-part file version, as the log, the fleet view and the user see
// it. It drops digits, so two different builds can read alike (2022.2.8249.63552 and
// 2022.2.8249.63553 both read 22.2.49.65): builds are told apart by the version in full.
#include <array>
#include <cstdint>
#include <string>

// A fixed file version's four parts, most significant first.
using TFileVersion = std::array<std::uint16_t, 4>;

// The four parts of a fixed file version (high and low halves of the most significant 32 bits, then
// of the least significant 32 bits).
TFileVersion FileVersionParts(std::uint32_t fileVersionMS, std::uint32_t fileVersionLS);

// One 16-bit part: the third and fourth decimal digits of part + 100 (the third alone when that
// number has three digits). 2022 gives "22", 2 and 12 give "2", 63552 gives "65".
std::wstring VersionPartText(std::uint16_t part);

// The four parts of a fixed file version (high and low halves of the most significant 32 bits, then
// of the least significant 32 bits), each shortened as above and joined by ".".
std::wstring VersionString(std::uint32_t fileVersionMS, std::uint32_t fileVersionLS);
// The same from the parts.
std::wstring VersionString(const TFileVersion& AVersion);
