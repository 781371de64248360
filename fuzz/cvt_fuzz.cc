// Integer conversions: text to every width and base, and every width change
// between signed and unsigned fields, checked against the ranges. Output
// fields are heap blocks of exactly their size, so a write past one is caught.
#include <cstring>
#include <vector>

#include "common.h"
#include "libcvt.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t Widths[] = {1, 2, 4, 8};

__int128 value(const Bytes &b, bool sign) {  // little-endian, widened
  uint64_t v = 0;
  std::memcpy(&v, b.data(), b.size());
  const int shift = 64 - 8 * int(b.size());
  return sign ? __int128{int64_t(v << shift) >> shift} : __int128{v};
}
bool fits(__int128 v, size_t w, bool sign) {
  __int128 lim = __int128{1} << (8 * w - sign);
  return v >= (sign ? -lim : 0) && v < lim;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 3) return 0;
  if (data[0] % 2 == 0) {  // text: each width yields the value or -1 and zero
    std::string text(reinterpret_cast<const char *>(data) + 3, size - 3);
    CvtFormat fmt{uint16_t(data[1] % 38), 0, 0};  // 0 automatic, 1 and 37
    __int128 first = 0;
    bool took = false;
    for (size_t w : Widths)
      for (bool sign : {false, true}) {
        Bytes field(w);
        int r = (sign ? cvt_string_2_int : cvt_string_2_uint)(
            CVT_STRING, 0, text.c_str(), sign ? CVT_INT : CVT_UINT, w,
            field.data(), fmt.base ? &fmt : nullptr);
        FUZZ_CHECK(r == int(w) || (r == -1 && field == Bytes(w)));
        if (r == -1) continue;
        FUZZ_CHECK(!took || value(field, sign) == first);  // one value
        took = true, first = value(field, sign);
      }
    return 0;
  }
  if (size < 11) return 0;
  int (*const convert[2][2])(CVT_SIGNATURE) = {
      {cvt_uint_2_uint, cvt_uint_2_int}, {cvt_int_2_uint, cvt_int_2_int}};
  for (size_t sw : Widths)
    for (size_t dw : Widths)
      for (int from : {0, 1})
        for (int to : {0, 1}) {
          Bytes src(data + 3, data + 3 + sw), dst(dw, 0xa5);
          __int128 v = value(src, from);
          int r = convert[from][to](CVT_INT, sw, src.data(), CVT_INT, dw,
                                    dst.data(), nullptr);
          FUZZ_CHECK(fits(v, dw, to) ? r == int(dw) && value(dst, to) == v
                                     : r == -1 && dst == Bytes(dw));
        }
  return 0;
}
