#pragma once
// Cases of the launcher's short version string, shared by the native and the Windows test trees.
#include <cstdint>

struct VersionPartCase {
    std::uint16_t part;
    const wchar_t* text;
};

// Around every boundary where the number of kept digits changes (n + 100 gaining a digit).
inline constexpr VersionPartCase kVersionPartCases[] = {
    {0, L"0"},      {2, L"2"},      {12, L"2"},     {899, L"9"},   {900, L"00"},
    {2022, L"22"},  {8249, L"49"},  {9899, L"99"},  {9900, L"00"}, {9999, L"09"},
    {63552, L"65"}, {65435, L"53"}, {65535, L"63"},
};

struct VersionStringCase {
    std::uint16_t parts[4];
    const wchar_t* text;
};

inline constexpr VersionStringCase kVersionStringCases[] = {
    {{2022, 2, 8249, 63552}, L"22.2.49.65"},
    {{2022, 2, 8250, 63552}, L"22.2.50.65"},
    {{2022, 2, 0, 2}, L"22.2.0.2"},
    {{2022, 2, 0, 12}, L"22.2.0.2"},
    {{0, 0, 0, 0}, L"0.0.0.0"},
    {{65535, 65535, 65535, 65535}, L"63.63.63.63"},
};
