#include <gtest/gtest.h>

#include "support/text.h"

TEST(Smoke, Builds)
{
    EXPECT_EQ(StrCmp("BMP", "bmp"), 0);
}
