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

// A row converts `src` (written as int64_t; -1 at an unsigned width is its
// maximum) with convert[fn] and, when `ok`, expects the same value in the
// destination; otherwise -1 and a zero destination.
TEST(IntWidth, ConvertsWithinRangeAndZeroesOnFailure) {
  int (*const convert[])(CVT_SIGNATURE) = {cvt_int_2_int, cvt_int_2_uint,
                                           cvt_uint_2_int, cvt_uint_2_uint};
  constexpr int64_t MIN32 = INT32_MIN, MAX32 = INT32_MAX, U32 = UINT32_MAX;
  struct {
    int fn, src_width;
    int64_t src;
    int dst_width, ok;
  } cases[] = {
      // clang-format off
      {0, 1, -1, 4, 1},        {0, 8, -129, 1, 0},      {0, 8, -128, 1, 1},
      {0, 8, 128, 1, 0},       {0, 4, -32769, 2, 0},    {0, 8, MIN32, 4, 1},
      {0, 8, INT64_MIN, 8, 1}, {0, 3, 1, 4, 0},         {0, 4, 1, 3, 0},
      {0, 8, MIN32 - 1, 4, 0}, {0, 8, MAX32 + 1, 4, 0}, {1, 1, -1, 4, 0},
      {1, 8, INT64_MIN, 8, 0}, {1, 8, 255, 1, 1},       {1, 8, 256, 1, 0},
      {1, 8, U32, 4, 1},       {1, 8, U32 + 1, 4, 0},   {2, 4, U32, 4, 0},
      {2, 4, U32, 8, 1},       {2, 8, INT64_MIN, 8, 0}, {2, 8, INT64_MAX, 8, 1},
      {2, 2, 32768, 2, 0},     {3, 8, 256, 1, 0},       {3, 8, 255, 1, 1},
      {3, 2, 65535, 8, 1},     {3, 8, -1, 8, 1},        {3, 8, -1, 4, 0},
      // clang-format on
  };
  int row = 0;
  for (auto c : cases) {
    SCOPED_TRACE(row++);
    unsigned char src[8] = {}, dst[9], want[9] = {};
    put(src, c.src_width, c.src);
    std::memset(dst, 0xAA, sizeof dst);
    if (c.ok) put(want, c.dst_width, c.src);
    EXPECT_EQ(convert[c.fn](0, c.src_width, src, 0, c.dst_width, dst, nullptr),
              c.ok ? c.dst_width : -1);
    EXPECT_EQ(std::memcmp(dst, want, c.dst_width), 0);
    EXPECT_EQ(dst[c.dst_width], 0xAA) << "wrote past the field";
  }
}

TEST(IntWidth, ConvertsInPlace) {
  uint64_t field = 0;
  put(&field, 4, 4000000000u);
  EXPECT_EQ(cvt_uint_2_uint(CVT_UINT, 4, &field, CVT_UINT, 8, &field, 0), 8);
  EXPECT_EQ(field, 4000000000u);
}
