#pragma once
// The launcher's short form of a four-part file version. Two launchers count as the same build when
// these strings are equal, so the rule below is part of the update contract with the server folder
// and must not be "improved": versions that differ only in dropped digits compare equal on purpose.
#include <cstdint>
#include <string>

// One 16-bit part: the third and fourth decimal digits of part + 100 (the third alone when that
// number has three digits). 2022 gives "22", 2 and 12 give "2", 63552 gives "65".
std::wstring VersionPartText(std::uint16_t part);

// The four parts of a fixed file version (high and low halves of the most significant 32 bits, then
// of the least significant 32 bits), each shortened as above and joined by ".".
std::wstring VersionString(std::uint32_t fileVersionMS, std::uint32_t fileVersionLS);
