#include "launcher/self_update/version_string.h"

#include <gtest/gtest.h>

#include "cases/version_string_cases.h"

namespace {

TEST(VersionString, EachPartKeepsTheThirdAndFourthDigitsOfPartPlus100) {
    for (const auto& c : kVersionPartCases) EXPECT_EQ(VersionPartText(c.part), c.text) << "part " << c.part;
}

TEST(VersionString, JoinsThePartsInOrderOfSignificance) {
    for (const auto& c : kVersionStringCases) {
        const std::uint32_t ms = (std::uint32_t{c.parts[0]} << 16) | c.parts[1];
        const std::uint32_t ls = (std::uint32_t{c.parts[2]} << 16) | c.parts[3];
        EXPECT_EQ(VersionString(ms, ls), c.text)
            << c.parts[0] << "." << c.parts[1] << "." << c.parts[2] << "." << c.parts[3];
    }
}

}  // namespace
