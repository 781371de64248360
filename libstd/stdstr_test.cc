#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "libstd.h"

namespace {

TEST(StdStr, Copy) {
  struct Case {
    uint32_t size;
    const char *source, *expected;
  } cases[] = {
      {13, "123456789012", "123456789012"},   // exact fit
      {13, "1234567890123", "123456789012"},  // one byte short
      {10, "abc", "abc"},
      {3, "abc", "ab"},
      {1, "abc", ""},
      {4, "", ""},
      {4, nullptr, ""},
  };
  for (const Case &c : cases) {
    char buf[16];
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(std_strcpy(buf, c.size, c.source), buf);
    EXPECT_STREQ(buf, c.expected);
    for (size_t i = c.size; i < sizeof buf; ++i) ASSERT_EQ(buf[i], '#');
  }
  char guard = '#';
  EXPECT_EQ(std_strcpy(&guard, 0, "abc"), &guard);
  EXPECT_EQ(guard, '#');
}

TEST(StdStr, Cat) {
  struct Case {
    uint32_t size;
    const char *start, *expected;
  } cases[] = {
      {6, "abc", "abcde"},  {8, "abc", "abcdefg"},  // exact fit
      {7, "abc", "abcdef"},                         // one byte short
      {4, "abcdef", "abc"}, {4, "abc", "abc"},
      {1, "", ""},          {16, "", "defg"},
  };
  for (const Case &c : cases) {
    char buf[16];
    memset(buf, '#', sizeof buf);
    strcpy(buf, c.start);
    EXPECT_EQ(std_strcat(buf, c.size, "de", "", "fg", nullptr), buf);
    EXPECT_STREQ(buf, c.expected);
  }
  // An unterminated destination is cut, not read past its size.
  char full[4] = {'w', 'x', 'y', 'z'};
  std_strcat(full, 4, "a", nullptr);
  EXPECT_STREQ(full, "wxy");
  char guard = '#';
  std_strcat(&guard, 0, "a", nullptr);
  EXPECT_EQ(guard, '#');
}

TEST(StdStr, FillAndDup) {
  char buf[8] = "#######";
  EXPECT_STREQ(std_strfill(buf, 5, '*'), "****");
  EXPECT_EQ(buf[5], '#');
  EXPECT_STREQ(std_strfill(buf, 1, '*'), "");
  std_strfill(buf, 0, '-');
  EXPECT_EQ(buf[0], '\0');
  for (const char *s : {"", "interval"}) {
    char *copy = std_strdup(nullptr, s);
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, s);
    std_free(nullptr, copy);
  }
  EXPECT_EQ(std_strdup(nullptr, nullptr), nullptr);
}

TEST(StdUtil, Overlap) {
  struct Case {
    int64_t start1;
    uint32_t length1;
    int64_t start2;
    uint32_t length2;
    int expected;
  } cases[] = {
      {10, 5, 14, 1, 1},
      {10, 5, 15, 1, 0},  // last position / touching
      {14, 1, 10, 5, 1},
      {15, 1, 10, 5, 0},
      {9, 1, 10, 5, 0},
      {10, 10, 12, 0, 0},
      {12, 0, 10, 10, 0},
      {5, 0, 5, 0, 0},
      {10, 10, 12, 2, 1},
      {12, 2, 10, 10, 1},
      {-5, 6, 0, 1, 1},
      {-5, 5, 0, 1, 0},
      {0, UINT32_MAX, 1, UINT32_MAX, 1},
      {INT64_MIN, 1, INT64_MAX, UINT32_MAX, 0},
      {INT64_MAX, UINT32_MAX, INT64_MAX - 1, 2, 1},
      {0, 0x80000000u, 0x80000000, 0x80000000u, 0},  // lengths sum to 2^32
  };
  for (const Case &c : cases)
    EXPECT_EQ(std_util_overlap(c.start1, c.length1, c.start2, c.length2),
              c.expected)
        << c.start1 << "+" << c.length1 << " " << c.start2 << "+" << c.length2;
}

TEST(StdUtil, Snprintf) {
  struct Case {
    uint32_t size;
    int result;
    const char *expected;
  } cases[] = {
      {13, 12, "241231235900"},  // exact fit
      {12, -1, "24123123590"},   // one byte short: cut and terminated
      {1, -1, ""},
  };
  for (const Case &c : cases) {
    char buf[16];
    memset(buf, '#', sizeof buf);
    long v[] = {24, 12, 31, 23, 59, 0};
    EXPECT_EQ(std_snprintf(buf, c.size, "%02ld%02ld%02ld%02ld%02ld%02ld", v[0],
                           v[1], v[2], v[3], v[4], v[5]),
              c.result);
    EXPECT_STREQ(buf, c.expected);
    EXPECT_EQ(buf[c.size], '#');
  }
  char guard = '#';
  EXPECT_EQ(std_snprintf(&guard, 0, "%s", ""), -1);
  EXPECT_EQ(guard, '#');
}

}  // namespace
