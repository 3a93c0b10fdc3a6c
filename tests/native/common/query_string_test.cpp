// Query strings as the service's routes read them.
#include <gtest/gtest.h>

#include "common/query_string.h"

namespace {

TEST(QueryString, FindsAndDecodesAParameter) {
    struct Case {
        const char *query, *name;
        std::optional<std::string> value;
    } cases[] = {
        {"folder=a&mask=*.dll", "mask", "*.dll"},
        {"maquina=WS+ADM%2d01", "maquina", "WS ADM-01"},
        {"a%62c=1", "abc", "1"},  // the name is decoded too
        {"x=%2B%zz%4", "x", "+%zz%4"},
        {"recursive&folder=x", "recursive", ""},
        {"recursive=", "recursive", ""},
        {"a=1&a=2", "a", "1"},
        {"ab=1", "a", std::nullopt},
        {"", "a", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.query);
        EXPECT_EQ(QueryValue(c.query, c.name), c.value);
    }
}

TEST(QueryString, RawTailKeepsEverythingAfterItsName) {
    EXPECT_EQ(RawQueryTail(QueryOf("/download?file=a+b&c=d.txt"), "file"), "a+b&c=d.txt");
    EXPECT_EQ(RawQueryTail(QueryOf("/x//download?v=1&file=x"), "file"), "x");
    EXPECT_EQ(RawQueryTail(QueryOf("/download?profile=x"), "file"), std::nullopt);
    EXPECT_EQ(RawQueryTail(QueryOf("/download"), "file"), std::nullopt);
    EXPECT_EQ(QueryOf("/a?b?c"), "b?c");
    // What the tail is then decoded with: percent escapes only, a plus stays a plus.
    EXPECT_EQ(PercentDecode("Relatorio%5CRpt%20x+y%C3%A7%zz%4"), "Relatorio\\Rpt x+y\xc3\xa7%zz%4");
}

}  // namespace
