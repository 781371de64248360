#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <tuple>

#include "libcvt.h"

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
