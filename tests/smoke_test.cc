#include <gtest/gtest.h>

#include "text/text.h"

TEST(Skeleton, Links) { EXPECT_EQ(kLineLimit, 511); }
