#include "update/report/progress_text.h"

namespace {

constexpr uint64_t kKB = 1024;
constexpr uint64_t kMB = kKB * 1024;
constexpr uint64_t kGB = kMB * 1024;

std::wstring OneDecimal(uint64_t ABytes, uint64_t AUnit) {
    // Tenths, rounded half up; the multiplication stays far below overflow for any real file size.
    const uint64_t tenths = (ABytes * 10 + AUnit / 2) / AUnit;
    return std::to_wstring(tenths / 10) + L"," + std::to_wstring(tenths % 10);
}

}  // namespace

std::wstring FormatSize(uint64_t ABytes) {
    const uint64_t kilobytes = (ABytes + kKB - 1) / kKB;
    if (kilobytes < 1024) return std::to_wstring(kilobytes) + L" KB";
    // 1023,95 MB and up reads as GB, so that the rounding never shows "1024,0 MB".
    if (ABytes * 10 + kMB / 2 < 10240 * kMB) return OneDecimal(ABytes, kMB) + L" MB";
    return OneDecimal(ABytes, kGB) + L" GB";
}

std::wstring ProgressText(const TProgressFigures& AFigures) {
    if (AFigures.Files == 0) return {};
    std::wstring text = std::to_wstring(AFigures.Finished) + L" de " + std::to_wstring(AFigures.Files) +
                        (AFigures.Files == 1 ? L" arquivo" : L" arquivos") + L" \u00B7 " +
                        FormatSize(AFigures.Bytes);
    if (AFigures.TotalBytes) return text + L" de " + FormatSize(*AFigures.TotalBytes);
    return text + L" recebidos";
}
