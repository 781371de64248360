#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <tuple>

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
      {0, 8, -129, 1, 0},      {0, 8, -128, 1, 1},      {0, 8, 128, 1, 0},
      {0, 3, 1, 4, 0},         {0, 4, 1, 3, 0},         {0, 8, MIN32 - 1, 4, 0},
      {0, 8, MAX32 + 1, 4, 0}, {1, 8, -1, 8, 0},        {1, 8, 256, 1, 0},
      {1, 8, 65535, 2, 1},     {1, 8, U32 + 1, 4, 0},   {2, 4, U32, 4, 0},
      {2, 8, INT64_MIN, 8, 0}, {2, 8, INT64_MAX, 8, 1}, {3, 8, -1, 8, 1},
      {3, 8, -1, 4, 0},
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

// 's' signed, 'u' unsigned.
TEST(IntText, IntegerToText) {
  const CvtFormat hex{16, '0', 1}, star{2, '*', 0}, bin{2, 0, 0}, b36{36, 0, 1},
      b37{37, 0, 0};
  // sign, value (an 8-byte field), format, field size, text ("": failure)
  // clang-format off
  const std::tuple<char, int64_t, const CvtFormat *, int, std::string>
      cases[] = {
      {'s', INT64_MIN, nullptr, 21, "-9223372036854775808"},
      {'s', INT64_MIN, nullptr, 20, ""},
      {'u', -1, &bin, 65, std::string(64, '1')}, {'u', -1, &bin, 64, ""},
      {'u', 255, &hex, 5, "00FF"}, {'u', 255, &star, 12, "11111111***"},
      {'u', 35, &b36, 4, "  Z"},   {'u', 0, nullptr, 2, "0"},
      {'u', 255, nullptr, 8, "255"}, {'u', 5, nullptr, 1, ""},
      {'u', 5, &b37, 8, ""}};
  // clang-format on
  for (auto [sign, value, format, size, text] : cases) {
    char dst[80];
    std::memset(dst, '#', sizeof dst);
    auto convert = sign == 's' ? cvt_int_2_string : cvt_uint_2_string;
    EXPECT_EQ(convert(0, 8, &value, 0, size, dst, format),
              text.empty() ? -1 : int(text.size()) + 1);
    // A failed signed conversion leaves the field as it was.
    std::string want = !text.empty() ? text + '\0'
                       : sign == 's' ? std::string(size, '#')
                                     : "";
    EXPECT_EQ(std::string(dst, want.size()), want) << text;
    EXPECT_EQ(dst[size], '#') << "wrote past the field";
  }
}

TEST(IntText, TextToInteger) {
  // sign, text, base (0: no format), field width, value read back
  // clang-format off
  const std::tuple<char, const char *, int, int, std::optional<int64_t>>
      cases[] = {
      {'u', " 30\t", 0, 4, 30}, {'u', "0x1e", 0, 4, 30}, {'u', "036", 0, 4, 30},
      {'u', "08", 0, 4, {}},    {'u', "30s", 0, 4, {}}, {'u', "010", 10, 4, 10},
      {'u', "ff", 16, 4, 255},  {'u', "12", 37, 4, {}}, {'u', "-1", 0, 8, {}},
      {'u', "-0", 0, 2, 0},     {'u', "4294967295", 0, 4, UINT32_MAX},
      {'u', "4294967296", 0, 4, {}}, {'u', "18446744073709551616", 0, 8, {}},
      {'s', "-128", 0, 1, -128}, {'s', "128", 0, 1, {}},
      {'s', "-0x10", 0, 2, -16},
      {'s', "-9223372036854775808", 0, 8, INT64_MIN},
      {'s', "9223372036854775808", 0, 8, {}}};
  // clang-format on
  for (auto [sign, text, base, width, value] : cases) {
    CvtFormat format{uint16_t(base), 0, 0};
    unsigned char dst[9];
    std::memset(dst, 0xAA, sizeof dst);
    auto convert = sign == 's' ? cvt_string_2_int : cvt_string_2_uint;
    EXPECT_EQ(
        convert(CVT_STRING, 0, text, 0, width, dst, base ? &format : nullptr),
        value ? width : -1)
        << text;
    int64_t got;  // read back at the field's own width and signedness
    (sign == 's' ? cvt_int_2_int : cvt_uint_2_uint)(0, width, dst, 0, 8, &got,
                                                    nullptr);
    EXPECT_EQ(got, value.value_or(0)) << text;
    EXPECT_EQ(dst[width], 0xAA) << "wrote past the field";
  }
}
