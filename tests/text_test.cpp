#include "text.h"

#include <gtest/gtest.h>

using namespace fernhollow;

TEST(Text, Split) {
    using V = std::vector<std::string_view>;
    EXPECT_EQ(split("", ";"), V{});
    EXPECT_EQ(split("abc", ";"), V{"abc"});
    EXPECT_EQ(split(";a;;b;", ";"), (V{"", "a", "", "b", ""}));
    EXPECT_EQ(split("aaa", "aa"), (V{"", "a"}));
}
