#include <gtest/gtest.h>

#include "basParser.h"

using drossgate::common::ConditionTest;

TEST(Smoke, PrefixMatches) { EXPECT_TRUE(ConditionTest("yes please", "YES")); }
