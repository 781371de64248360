#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

#include "libstd.h"

namespace {

// The text in buf, failing when a byte past `size` lost its '#' fill.
std::string within(const char *buf, uint32_t size) {
  EXPECT_EQ(strspn(buf + size, "#"), 16 - size) << "wrote past " << size;
  return buf;
}

TEST(StdStr, CopyFillCat) {
  // size, source, the copy, the copy after cat "de", "", "fg"
  const std::tuple<uint32_t, const char *, const char *, const char *> cases[] =
      {{13, "1234567890123", "123456789012", "123456789012"},  // one short
       {13, "12345678901", "12345678901", "12345678901d"},     // cat: one short
       {8, "abc", "abc", "abcdefg"},                           // cat: exact fit
       {4, "abcdef", "abc", "abc"},  // full: cat reads no source
       {1, "abc", "", ""}};
  for (auto [size, source, copy, cat] : cases) {
    char buf[17] = "################";
    EXPECT_EQ(within(std_strcpy(buf, size, source), size), copy);
    EXPECT_EQ(within(std_strcat(buf, size, "de", "", "fg", nullptr), size),
              cat);
    EXPECT_EQ(within(std_strfill(buf, size, '*'), size),
              std::string(size - 1, '*'));
  }
  char guard = '#';  // size 0: never touched
  std_strcat(std_strfill(std_strcpy(&guard, 0, "a"), 0, '*'), 0, "b", nullptr);
  EXPECT_EQ(guard, '#');
  char raw[4] = {'w', 'x', 'y', 'z'};  // unterminated: cut, not overread
  EXPECT_STREQ(std_strcat(raw, 4, "a", nullptr), "wxy");
}

TEST(StdUtil, Overlap) {
  // start1, length1, start2, length2, overlap
  // clang-format off
  const std::tuple<int64_t, uint32_t, int64_t, uint32_t, int> cases[] = {
      {10, 5, 14, 1, 1}, {10, 5, 15, 1, 0}, {14, 1, 10, 5, 1}, {9, 1, 10, 5, 0},
      {10, 10, 12, 0, 0}, {-5, 6, 0, 1, 1},
      {INT64_MIN, 1, INT64_MAX, UINT32_MAX, 0},
      {INT64_MAX, UINT32_MAX, INT64_MAX - 1, 2, 1},
      {0, 0x80000000u, 0x80000000, 0x80000000u, 0}};  // lengths sum to 2^32
  // clang-format on
  for (auto [s1, l1, s2, l2, want] : cases)
    EXPECT_EQ(std_util_overlap(s1, l1, s2, l2), want) << s1 << " " << s2;
}

TEST(StdUtil, Snprintf) {
  for (auto [size, want] : {std::pair{13u, 12}, {12u, -1}, {0u, -1}}) {
    char buf[17] = "################";
    EXPECT_EQ(std_snprintf(buf, size, "%s%02d", "2412312359", 0), want);
    EXPECT_EQ(within(buf, size), size ? std::string("241231235900", size - 1)
                                      : std::string(16, '#'));
  }
}

}  // namespace
