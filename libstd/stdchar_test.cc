#include <gtest/gtest.h>

#include "libstd.h"

TEST(StdChar, Digits) {
  // fn 0 todigval, 1 todigcode; a base counts by its low 16 bits (65546: 10)
  const int cases[][4] = {
      // clang-format off
      {0, '8', 8, -1},   {0, 'f', 16, 15},  {0, '0', 1, -1},  {0, -207, 10, -1},
      {0, '9', 65546, 9}, {1, 15, 16, 'F'}, {1, 10, 10, -1},  {1, -1, 10, -1},
      {1, 9, 37, -1},
      // clang-format on
  };
  for (auto [fn, argument, base, want] : cases)
    EXPECT_EQ((fn ? std_char_todigcode : std_char_todigval)(argument, base),
              want);
  for (int base = 2; base <= 36; ++base)
    for (int v = 0; v < base; ++v)
      EXPECT_EQ(std_char_todigval(std_char_todigcode(v, base), base), v);
}

TEST(StdChar, CaretsAndEscapes) {
  EXPECT_EQ(std_char_tocarat(0), '@');
  EXPECT_EQ(std_char_tocarat(127), '?');
  EXPECT_EQ(std_char_tocarat('a'), -1);
  for (int c : "`>") EXPECT_EQ(std_char_tocntrl(c), -1) << c;
  for (int c = 0; c < 256; ++c)
    EXPECT_EQ(std_char_tocntrl(std_char_tocarat(c)),
              c < 32 || c == 127 ? c : -1);
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(std_char_toescval("abtnvfr"[i]), "\a\b\t\n\v\f\r"[i]);
    EXPECT_EQ(std_char_toesccode("\a\b\t\n\v\f\r"[i]), "abtnvfr"[i]);
  }
  for (int c : "xe\\") EXPECT_EQ(std_char_toescval(c), c);
}
