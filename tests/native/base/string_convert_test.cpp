#include <gtest/gtest.h>

#include "base/string_convert.h"

TEST(StringConvert, RoundTripsTextBeyondTheBasicPlane) {
    const std::string utf8 = "Módulo não instalado \xF0\x9F\x8F\xA5";
    EXPECT_EQ(WideToUtf8(Utf8ToWide(utf8)), utf8);
    EXPECT_EQ(Utf8ToWide("Aguarde"), L"Aguarde");
}

TEST(StringConvert, ReplacesBrokenSequences) {
    EXPECT_EQ(Utf8ToWide("a\xC3"), L"a\uFFFD");                    // cut short
    EXPECT_EQ(Utf8ToWide("\xC0\xAF"), L"\uFFFD\uFFFD");            // overlong
    EXPECT_EQ(Utf8ToWide("\xED\xA0\x80"), L"\uFFFD\uFFFD\uFFFD");  // surrogate
}
