#include <gtest/gtest.h>

#include <cstring>

#include "libcvt.h"

// Stores the low bytes of `v` as an integer `width` (at most 8) bytes wide.
static void put(void *field, size_t width, uint64_t v) {
  uint8_t v1 = v;
  uint16_t v2 = v;
  uint32_t v4 = v;
  const void *from[] = {&v, &v1, &v2, &v, &v4, &v, &v, &v, &v};
  std::memcpy(field, from[width], width);
}

// A row converts `src` (-1 at an unsigned width is its maximum) with
// convert[fn] and expects the same value, or else -1 and a zero field.
TEST(IntWidth, ConvertsWithinRangeAndZeroesOnFailure) {
  int (*const convert[])(CVT_SIGNATURE) = {cvt_int_2_int, cvt_int_2_uint,
                                           cvt_uint_2_int, cvt_uint_2_uint};
  constexpr int64_t MIN32 = INT32_MIN, MAX32 = INT32_MAX, U32 = UINT32_MAX;
  // fn, source width, value, destination width, fits
  const int64_t cases[][5] = {
      // clang-format off
      {0, 1, -1, 4, 1},        {0, 2, -32768, 2, 1},    {0, 8, -129, 1, 0},
      {0, 8, -128, 1, 1},      {0, 8, 128, 1, 0},       {0, 8, INT64_MIN, 8, 1},
      {0, 3, 1, 4, 0},         {0, 4, 1, 3, 0},         {0, 8, MIN32 - 1, 4, 0},
      {0, 4, MIN32, 4, 1},     {0, 8, MAX32 + 1, 4, 0}, {1, 8, -1, 8, 0},
      {1, 8, 255, 1, 1},       {1, 8, 256, 1, 0},       {1, 8, 65535, 2, 1},
      {1, 8, U32, 4, 1},       {1, 8, U32 + 1, 4, 0},   {2, 4, U32, 4, 0},
      {2, 4, U32, 8, 1},       {2, 8, INT64_MIN, 8, 0}, {2, 8, INT64_MAX, 8, 1},
      {3, 2, 65535, 8, 1},     {3, 8, -1, 8, 1},        {3, 8, -1, 4, 0},
      // clang-format on
  };
  for (auto [fn, src_width, src, dst_width, ok] : cases) {
    SCOPED_TRACE(testing::Message() << fn << " " << src);
    unsigned char field[8] = {}, dst[9], want[9] = {};
    put(field, src_width, src);
    std::memset(dst, 0xAA, sizeof dst);
    if (ok) put(want, dst_width, src);
    EXPECT_EQ(convert[fn](0, src_width, field, 0, dst_width, dst, nullptr),
              ok ? dst_width : -1);
    EXPECT_EQ(std::memcmp(dst, want, dst_width), 0);
    EXPECT_EQ(dst[dst_width], 0xAA) << "wrote past the field";
  }
  uint64_t wide = 0;  // widened in place
  put(&wide, 4, 4000000000u);
  EXPECT_EQ(cvt_uint_2_uint(0, 4, &wide, 0, 8, &wide, nullptr), 8);
  EXPECT_EQ(wide, 4000000000u);
}
