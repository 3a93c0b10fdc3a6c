#pragma once
// The busy panel's progress line, in Portuguese with the decimal comma:
//   "3 de 48 arquivos · 12,5 MB de 140,0 MB"   every size known
//   "3 de 48 arquivos · 12,5 MB recebidos"     some sizes not known yet
// and no line at all while nothing is to be fetched. Portable.
#include <cstdint>
#include <optional>
#include <string>

struct TProgressFigures {
    uint32_t Files = 0;     // queued for fetching
    uint32_t Finished = 0;  // fetched or failed
    uint64_t Bytes = 0;     // received so far
    std::optional<uint64_t> TotalBytes;
};

// Sizes in binary units as the platform's file views show them: whole KB (rounded up) below 1 MB,
// then MB and from 1 GB on GB with one decimal, rounded half up.
std::wstring FormatSize(uint64_t ABytes);

std::wstring ProgressText(const TProgressFigures& AFigures);
