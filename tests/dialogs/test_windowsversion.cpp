// Windows version classes by the rule table.
#include <gtest/gtest.h>

#include "Windowsversion.h"

TEST(WindowsVersion, EveryRuleGivesItsClass) {
  struct Case {
    bool ok;
    int platform, major, minor, build;
    int expected;
  };
  const Case cases[] = {
      {false, 2, 5, 1, 2600, 0},  // query failed
      {true, 0, 3, 10, 0, 1},     // Win32s
      {true, 1, 4, 0, 950, 2},    // 95
      {true, 1, 4, 3, 1111, 2},   // 95 OSR2
      {true, 1, 4, 10, 2222, 3},  // 98 SE
      {true, 1, 4, 90, 3000, 4},  // ME
      {true, 1, 4, 20, 0, 5},     // unmatched 9x minor falls through to the NT rules
      {true, 1, 3, 0, 0, 5},      {true, 2, 3, 51, 1057, 5},  // NT 3.51
      {true, 2, 4, 0, 1381, 5},                               // NT 4.0
      {true, 2, 5, 0, 2195, 6},                               // 2000
      {true, 2, 5, 0, 2100, 7},                               // 5.0 with another build
      {true, 2, 5, 1, 2600, 7},                               // XP
      {true, 2, 5, 2, 3790, 8},                               // Server 2003
      {true, 2, 5, 3, 0, 0},                                  // unknown minor
      {true, 2, 6, 0, 6000, 0},                               // later releases
      {true, 2, 10, 0, 19045, 0}, {true, 3, 5, 1, 2600, 0},   // unknown platform
      {true, -1, 4, 0, 0, 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ClassifyWindowsVersion(c.ok, c.platform, c.major, c.minor, c.build), c.expected)
        << c.platform << " " << c.major << "." << c.minor << " build " << c.build;
}

TEST(WindowsVersion, WithoutAVersionQueryTheClassIsZero) {
  EXPECT_EQ(DetectWindowsVersion(), 0);
}
