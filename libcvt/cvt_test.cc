#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <tuple>

#include "libcvt.h"

// A row converts `src` (-1 at an unsigned width is its maximum) with
// convert[fn] and expects the same value, or else -1 and a zero field.
TEST(IntWidth, ConvertsWithinRangeAndZeroesOnFailure) {
  int (*const convert[])(CVT_SIGNATURE) = {cvt_int_2_int, cvt_int_2_uint,
                                           cvt_uint_2_int, cvt_uint_2_uint};
  // fn, value (an 8-byte field), destination width, fits
  const int64_t cases[][4] = {{0, -129, 1, 0},      {0, -128, 1, 1},
                              {0, 128, 1, 0},       {1, -1, 8, 0},
                              {1, 65535, 2, 1},     {2, INT64_MIN, 8, 0},
                              {2, INT64_MAX, 8, 1}, {3, -1, 4, 0}};
  for (auto [fn, src, width, ok] : cases) {
    unsigned char dst[9], want[9] = {};
    std::memset(dst, 0xAA, sizeof dst);
    if (ok) std::memcpy(want, &src, width);  // little-endian low bytes
    EXPECT_EQ(convert[fn](0, 8, &src, 0, width, dst, nullptr), ok ? width : -1)
        << fn << " " << src;
    EXPECT_EQ(std::memcmp(dst, want, width), 0) << fn << " " << src;
    EXPECT_EQ(dst[width], 0xAA) << "wrote past the field";
  }
}

TEST(IntText, BothWays) {
  char dst[24];
  const int64_t min = INT64_MIN;
  EXPECT_EQ(cvt_int_2_string(0, 8, &min, 0, 20, dst, nullptr), -1);  // no NUL
  EXPECT_EQ(cvt_int_2_string(0, 8, &min, 0, 21, dst, nullptr), 21);
  EXPECT_STREQ(dst, "-9223372036854775808");
  // sign, text, field width, value read back
  const std::tuple<char, const char *, int, std::optional<int64_t>> cases[] = {
      {'u', " 30\t", 4, 30},  {'u', "0x1e", 4, 30}, {'u', "30s", 4, {}},
      {'u', "-1", 8, {}},     {'u', "-0", 2, 0},    {'u', "4294967296", 4, {}},
      {'s', "-0x10", 2, -16}, {'s', "128", 1, {}}};
  for (auto [sign, text, width, value] : cases) {
    int64_t got = 0;
    auto convert = sign == 's' ? cvt_string_2_int : cvt_string_2_uint;
    EXPECT_EQ(convert(CVT_STRING, 0, text, 0, width, &got, nullptr),
              value ? width : -1)
        << text;
    if (sign == 's' && width < 8)
      got = int64_t(got << (64 - 8 * width)) >> (64 - 8 * width);
    EXPECT_EQ(got, value.value_or(0)) << text;
  }
}
