#pragma once
// FNV-1a, 64 bits: a short, stable name for a longer key (a path as a kernel object's name). Not a
// defence against anyone choosing keys. Portable.
#include <cstdint>
#include <string_view>
#include <type_traits>

// Hashes each code unit as a number, so that one text gives one value in both trees.
template <class Char>
constexpr uint64_t Fnv1a64(std::basic_string_view<Char> units) {
    uint64_t hash = 14695981039346656037ull;
    for (const Char unit : units)
        hash =
            (hash ^ static_cast<uint64_t>(static_cast<std::make_unsigned_t<Char>>(unit))) * 1099511628211ull;
    return hash;
}
