#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "libcvt.h"

// fn 0 is cvt_int_2_string (which never reads the format), 1 is
// cvt_uint_2_string, each from an 8-byte field.
TEST(IntText, IntegerToText) {
  const CvtFormat hex{16, '0', 1}, star{2, '*', 0}, bin{2, 0, 0}, b36{36, 0, 1},
      b37{37, 0, 0};
  struct {
    int fn;
    int64_t value;
    const CvtFormat *format;
    int size, want;
    std::string text;
  } cases[] = {
      // clang-format off
      {0, INT64_MIN, nullptr, 21, 21, "-9223372036854775808"},
      {0, INT64_MIN, nullptr, 20, -1, ""},  {0, -32768, &bin, 64, 7, "-32768"},
      {1, 255, nullptr, 8, 4, "255"},       {1, 255, &hex, 5, 5, "00FF"},
      {1, 255, &star, 12, 12, "11111111***"},
      {1, -1, &bin, 65, 65, std::string(64, '1')},
      {1, -1, &bin, 64, -1, ""},            {1, 0, nullptr, 2, 2, "0"},
      {1, 35, &b36, 4, 4, "  Z"},           {1, 5, nullptr, 1, -1, ""},
      {1, 5, &b37, 8, -1, ""},
      // clang-format on
  };
  for (auto c : cases) {
    SCOPED_TRACE(c.text);
    char dst[80];
    std::memset(dst, '#', sizeof dst);
    auto convert = c.fn == 0 ? cvt_int_2_string : cvt_uint_2_string;
    EXPECT_EQ(convert(0, 8, &c.value, 0, c.size, dst, c.format), c.want);
    // A failed signed conversion leaves the field as it was.
    std::string want = c.want > 0  ? c.text + '\0'
                       : c.fn == 0 ? std::string(c.size, '#')
                                   : "";
    EXPECT_EQ(std::string(dst, want.size()), want);
    EXPECT_EQ(dst[c.size], '#') << "wrote past the field";
  }
}

// fn 0 is cvt_string_2_int, 1 cvt_string_2_uint; base -1 passes no format.
TEST(IntText, TextToInteger) {
  struct {
    int fn;
    const char *text;
    int base, width, ok;
    int64_t value;
  } cases[] = {
      // clang-format off
      {1, " 30\t", -1, 4, 1, 30},     {1, "0x1e", -1, 4, 1, 30},
      {1, "036", -1, 4, 1, 30},       {1, "08", -1, 4, 0, 0},
      {1, "30s", -1, 4, 0, 0},        {1, "", -1, 4, 1, 0},
      {1, "4294967295", -1, 4, 1, UINT32_MAX},
      {1, "4294967296", -1, 4, 0, 0}, {1, "256", -1, 1, 0, 0},
      {1, "18446744073709551616", -1, 8, 0, 0},
      {1, "-1", -1, 8, 0, 0},         {1, "-0", -1, 2, 1, 0},
      {1, "ff", 16, 4, 1, 255},       {1, "010", 10, 4, 1, 10},
      {1, "z", 36, 8, 1, 35},         {1, "12", 37, 4, 0, 0},
      {0, "-128", -1, 1, 1, -128},    {0, "128", -1, 1, 0, 0},
      {0, " -017 ", -1, 4, 1, -15},   {0, "-0x10", -1, 2, 1, -16},
      {0, "-9223372036854775808", -1, 8, 1, INT64_MIN},
      {0, "9223372036854775808", -1, 8, 0, 0},
      // clang-format on
  };
  for (auto c : cases) {
    SCOPED_TRACE(c.text);
    CvtFormat format{uint16_t(c.base), 0, 0};
    unsigned char dst[9];
    std::memset(dst, 0xAA, sizeof dst);
    auto convert = c.fn == 0 ? cvt_string_2_int : cvt_string_2_uint;
    EXPECT_EQ(convert(CVT_STRING, std::strlen(c.text) + 1, c.text, 0, c.width,
                      dst, c.base < 0 ? nullptr : &format),
              c.ok ? c.width : -1);
    // Read back at the field's own width and signedness.
    int64_t got;
    (c.fn == 0 ? cvt_int_2_int : cvt_uint_2_uint)(0, c.width, dst, 0, 8, &got,
                                                  nullptr);
    EXPECT_EQ(got, c.value);
    EXPECT_EQ(dst[c.width], 0xAA) << "wrote past the field";
  }
}
