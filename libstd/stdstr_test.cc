#include <gtest/gtest.h>

#include <cstring>

#include "libstd.h"

namespace {

// Bytes past `size` must stay as the '#' they were filled with.
void expect_within(const char *buf, uint32_t size) {
  for (uint32_t i = size; i < 16; ++i) ASSERT_EQ(buf[i], '#') << i;
}

TEST(StdStr, CopyFillCat) {
  struct {
    uint32_t size;
    const char *start, *copy, *cat;
  } cases[] = {
      {13, "1234567890123", "123456789012", "123456789012"},  // one short
      {13, "12345678901", "12345678901", "12345678901d"},     // cat: one short
      {8, "abc", "abc", "abcdefg"},                           // cat: exact fit
      {4, "abcdef", "abc", "abc"},  // cat reads no source
      {1, "abc", "", ""},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.size);
    char buf[16];
    memset(buf, '#', 16), buf[0] = '\0';
    EXPECT_EQ(std_strcpy(buf, c.size, c.start), buf);
    EXPECT_STREQ(buf, c.copy);
    expect_within(buf, c.size);
    EXPECT_EQ(std_strcat(buf, c.size, "de", "", "fg", nullptr), buf);
    EXPECT_STREQ(buf, c.cat);
    expect_within(buf, c.size);
    EXPECT_EQ(std_strfill(buf, c.size, '*'), buf);
    EXPECT_EQ(strspn(buf, "*"), c.size - 1);
    expect_within(buf, c.size);
  }
  char guard = '#';  // size 0: never touched
  std_strcat(std_strcpy(&guard, 0, "a"), 0, "b", nullptr);
  EXPECT_EQ(*std_strfill(&guard, 0, '*'), '#');
  char raw[4] = {'w', 'x', 'y', 'z'};  // unterminated: cut, not overread
  EXPECT_STREQ(std_strcat(raw, 4, "a", nullptr), "wxy");
  char *copy = std_strdup(nullptr, "");
  EXPECT_STREQ(copy, "");
  std_free(nullptr, copy);
}

TEST(StdUtil, Overlap) {
  struct {
    int64_t start1;
    uint32_t length1;
    int64_t start2;
    uint32_t length2;
    int expected;
  } cases[] = {
      {10, 5, 14, 1, 1},
      {10, 5, 15, 1, 0},
      {14, 1, 10, 5, 1},
      {9, 1, 10, 5, 0},
      {10, 10, 12, 0, 0},
      {12, 0, 10, 10, 0},
      {12, 2, 10, 10, 1},
      {-5, 6, 0, 1, 1},
      {-5, 5, 0, 1, 0},
      {INT64_MIN, 1, INT64_MAX, UINT32_MAX, 0},
      {INT64_MAX, UINT32_MAX, INT64_MAX - 1, 2, 1},
      {0, 0x80000000u, 0x80000000, 0x80000000u, 0},  // lengths sum to 2^32
  };
  for (auto &c : cases)
    EXPECT_EQ(std_util_overlap(c.start1, c.length1, c.start2, c.length2),
              c.expected)
        << c.start1 << "+" << c.length1 << " " << c.start2 << "+" << c.length2;
}

TEST(StdUtil, Snprintf) {
  struct {
    uint32_t size;
    int result;
    const char *text;
  } cases[] = {{13, 12, "241231235900"},
               {12, -1, "24123123590"},
               {1, -1, ""},
               {0, -1, nullptr}};
  for (auto &c : cases) {
    char buf[16];
    memset(buf, '#', 16);
    EXPECT_EQ(std_snprintf(buf, c.size, "%02ld%02ld%02ld%02ld%02ld%02ld", 24L,
                           12L, 31L, 23L, 59L, 0L),
              c.result);
    if (c.text) {
      EXPECT_STREQ(buf, c.text);
    }
    expect_within(buf, c.size);
  }
}

}  // namespace
