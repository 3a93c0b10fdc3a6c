#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "base/base64.h"

namespace {

std::string Encoded(std::string_view bytes) {
    return Base64Encode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

TEST(Base64, FollowsTheStandardVectorsBothWays) {
    // RFC 4648, section 10.
    const std::pair<std::string_view, std::string_view> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {std::string_view("\xff\xfe\x00", 3), "//4A"},
    };
    for (const auto& [bytes, text] : vectors) {
        EXPECT_EQ(Encoded(bytes), text);
        const auto decoded = Base64Decode(text);
        ASSERT_TRUE(decoded) << text;
        EXPECT_EQ(std::string(decoded->begin(), decoded->end()), bytes);
    }
}

TEST(Base64, RefusesTextThatIsNotCanonical) {
    for (const std::string_view text : {"Zg", "Zg=", "Zg=a", "Z===", "====", "Zg==Zg==", "Zh==", "Zm9=",
                                        " Zm9v", "Zm9v\n", "Zm-v", "Zm_v", "Zm9v="}) {
        EXPECT_FALSE(Base64Decode(text)) << text;
    }
}

}  // namespace
