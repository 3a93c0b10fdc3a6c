#include <gtest/gtest.h>

#include "cases/url_cases.h"
#include "update/transport/content_type.h"
#include "update/transport/url_encoding.h"

TEST(NormalizeBaseURL, TrimsAddsSchemeAndDropsTrailingSlashes) {
    for (const auto& c : kNormalizeCases) EXPECT_EQ(NormalizeBaseURL(c.input), c.expected);
}

TEST(FolderListURL, AddsOnlyTheGivenParametersEncodedAsValues) {
    for (const auto& c : kListURLCases)
        EXPECT_EQ(FolderListURL(c.base, c.folder, c.mask, c.recursive), c.expected);
}

TEST(DownloadURL, JoinsThenNormalisesAndEncodesTheWhole) {
    for (const auto& c : kDownloadURLCases) EXPECT_EQ(DownloadURL(c.base, c.name), c.expected);
}

TEST(PercentEncodeURL, PlusIsEncodedInThePathButNotInTheQuery) {
    EXPECT_EQ(PercentEncodeURL(L"http://srv/a+b\\c'd?x=a+b\\c'd"), L"http://srv/a%2Bb/c'd?x=a+b%5Cc%27d");
}

TEST(ContentType, CharsetAndBinaryMediaTypes) {
    EXPECT_EQ(CharsetOf("application/json; charset=UTF-8"), "utf-8");
    EXPECT_EQ(CharsetOf("text/plain;foo=bar; Charset=\"ISO-8859-1\""), "iso-8859-1");
    EXPECT_EQ(CharsetOf("application/json"), "");
    EXPECT_EQ(CharsetOf(""), "");
    EXPECT_EQ(CodePageOfCharset("iso-8859-1"), 28591u);
    EXPECT_EQ(CodePageOfCharset("x-unknown"), 0u);
    EXPECT_TRUE(IsBinaryMediaType("Image/png"));
    EXPECT_TRUE(IsBinaryMediaType("audio/ogg"));
    EXPECT_FALSE(IsBinaryMediaType("application/octet-stream"));
    EXPECT_FALSE(IsBinaryMediaType("text/html; charset=utf-8"));
}
