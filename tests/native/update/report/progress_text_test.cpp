// The busy panel's progress line.
#include <gtest/gtest.h>

#include "update/report/progress_text.h"

TEST(ProgressText, SizesInKilobytesThenOneDecimalWithTheComma) {
    struct Case {
        uint64_t bytes;
        const wchar_t* text;
    };
    const Case cases[] = {
        {0, L"0 KB"},
        {1, L"1 KB"},
        {1024, L"1 KB"},
        {1025, L"2 KB"},
        {1023 * 1024, L"1023 KB"},
        {1023 * 1024 + 1, L"1,0 MB"},  // 1024 KB would read worse than the next unit
        {1024 * 1024, L"1,0 MB"},
        {13'107'200, L"12,5 MB"},
        {13'159'628, L"12,5 MB"},  // 12,549…
        {13'160'678, L"12,6 MB"},  // 12,550… rounds up
        {146'800'640, L"140,0 MB"},
        {1'073'689'395, L"1023,9 MB"},
        {1'073'689'396, L"1,0 GB"},  // 1023,95 MB would show as 1024,0 MB
        {5'368'709'120ull, L"5,0 GB"},
    };
    for (const Case& c : cases) EXPECT_EQ(FormatSize(c.bytes), c.text) << c.bytes;
}

TEST(ProgressText, FilesAndBytesWithTheTotalOnlyWhenEverySizeIsKnown) {
    struct Case {
        TProgressFigures figures;
        const wchar_t* text;
    };
    const Case cases[] = {
        {{0, 0, 0, std::nullopt}, L""},
        {{0, 0, 0, 0}, L""},
        {{48, 3, 13'107'200, 146'800'640}, L"3 de 48 arquivos \u00B7 12,5 MB de 140,0 MB"},
        {{48, 3, 13'107'200, std::nullopt}, L"3 de 48 arquivos \u00B7 12,5 MB recebidos"},
        {{1, 0, 0, std::nullopt}, L"0 de 1 arquivo \u00B7 0 KB recebidos"},
        {{1, 1, 2048, 2048}, L"1 de 1 arquivo \u00B7 2 KB de 2 KB"},
    };
    for (const Case& c : cases) EXPECT_EQ(ProgressText(c.figures), c.text);
}
