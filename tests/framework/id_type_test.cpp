#include "framework/id_type.h"

#include <gtest/gtest.h>

TEST(TypifiedID, EmptyStrings) {
    TstringID a(nullptr), b("");
    EXPECT_TRUE(a == b);
}
