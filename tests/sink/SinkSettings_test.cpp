#include <gtest/gtest.h>

#include "SinkSettings.h"

TEST(Smoke, OneLine) {
  auto s = drossgate::sink::ParseConstructorString("X-Spam-Flag: YES");
  EXPECT_EQ(s.lastRule, 0);
}
