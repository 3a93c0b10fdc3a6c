#include <gtest/gtest.h>

#include "base/error.h"
#include "base/paths.h"
#include "cases/path_cases.h"

TEST(PathJoin, FollowsTheTable) {
    for (const auto& c : kJoinCases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - kJoinCases));
        if (c.invalid) {
            try {
                PathJoin(c.folder, c.name);
                ADD_FAILURE() << "no error";
            } catch (const Error& e) {
                EXPECT_STREQ(e.what(), "Invalid characters in path");
            }
        } else {
            EXPECT_EQ(PathJoin(c.folder, c.name), c.expected);
        }
    }
}

TEST(FolderWithDelimiter, FollowsTheTable) {
    for (const auto& c : kDelimiterCases) EXPECT_EQ(FolderWithDelimiter(c.input), c.expected);
}

TEST(TopLevelErrorText, AddsAFullStopOnlyAfterCharactersAboveIt) {
    EXPECT_EQ(TopLevelErrorText("The specified path was not found"), "The specified path was not found.");
    EXPECT_EQ(TopLevelErrorText("Contacte o Aurevia."), "Contacte o Aurevia.");
    EXPECT_EQ(TopLevelErrorText("Falhou!"), "Falhou!");  // "!" is below "."
    EXPECT_EQ(TopLevelErrorText("code 5"), "code 5.");
    EXPECT_EQ(TopLevelErrorText(""), "");
}
