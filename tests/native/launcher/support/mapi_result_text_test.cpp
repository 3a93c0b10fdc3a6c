#include "launcher/support/mapi_result_text.h"

#include <gtest/gtest.h>

#include "cases/mapi_result_cases.h"

namespace {

TEST(MapiResultText, EveryResultGetsItsOwnTextAndUnknownOnesNone) {
    for (const auto& c : kMapiResultCases)
        EXPECT_EQ(MapiResultText(c.result), c.text) << "result " << c.result;
}

}  // namespace
