// Integer conversions: text to every width and base and back, integers to
// text and in again, and width changes checked against the ranges. Output
// fields are heap blocks of exactly their size, so a write past one is caught.
#include <cstring>
#include <vector>

#include "common.h"
#include "libcvt.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t Widths[] = {1, 2, 4, 8};

bool zero(const Bytes &b) { return b == Bytes(b.size()); }
uint64_t as_uint(const Bytes &b) {  // little-endian, widened
  uint64_t v = 0;
  std::memcpy(&v, b.data(), b.size());
  return v;
}
int64_t as_int(const Bytes &b) {
  const int shift = 64 - 8 * int(b.size());
  return int64_t(as_uint(b) << shift) >> shift;
}
bool fits(__int128 v, size_t w, bool sign) {
  __int128 lim = __int128{1} << (8 * w - sign);
  return v >= (sign ? -lim : 0) && v < lim;
}

// Each width yields the value or -1 with a zero field, and a wider field
// takes what a narrower one took; an odd width takes nothing.
void from_text(const char *text, uint16_t base) {
  CvtFormat fmt{base, 0, 0};
  const CvtFormat *f = base == 0 ? nullptr : &fmt;
  bool took = false;
  for (size_t w : Widths) {
    Bytes si(w), ui(w);
    int rs = cvt_string_2_int(CVT_STRING, 0, text, CVT_INT, w, si.data(), f);
    int ru = cvt_string_2_uint(CVT_STRING, 0, text, CVT_UINT, w, ui.data(), f);
    FUZZ_CHECK(rs == int(w) || (rs == -1 && zero(si) && !took));
    FUZZ_CHECK(ru == int(w) || (ru == -1 && zero(ui)));
    took = rs == int(w);
  }
  Bytes odd(3, 0xff);
  FUZZ_CHECK(cvt_string_2_uint(CVT_STRING, 0, text, CVT_UINT, 3, odd.data(),
                               f) == -1 &&
             zero(odd));
}

// An integer to text in a field of `size` bytes and back; blank or zero
// padding reads back, other pad characters do not.
void to_text(const Bytes &src, uint32_t size, CvtFormat fmt) {
  size_t w = src.size();
  std::vector<char> out(size);
  Bytes back(w);
  CvtFormat in{fmt.base, 0, 0};
  int n = cvt_int_2_string(CVT_INT, w, src.data(), CVT_STRING, size, out.data(),
                           nullptr);
  FUZZ_CHECK(n == -1 ||
             (size_t(n) <= size && size_t(n) == std::strlen(out.data()) + 1 &&
              cvt_string_2_int(CVT_STRING, 0, out.data(), CVT_INT, w,
                               back.data(), nullptr) == int(w) &&
              back == src));
  n = cvt_uint_2_string(CVT_UINT, w, src.data(), CVT_STRING, size, out.data(),
                        &fmt);
  FUZZ_CHECK(n < 0 || (size_t(n) <= size && out[n - 1] == '\0'));
  FUZZ_CHECK(n < 0 ||
             (fmt.pad != 0 && fmt.pad != ' ' &&
              !(fmt.pad == '0' && fmt.right_justify)) ||
             (cvt_string_2_uint(CVT_STRING, 0, out.data(), CVT_UINT, w,
                                back.data(), &in) == int(w) &&
              back == src));
}

// Every width change between signed and unsigned fields.
void widths(const uint8_t *raw) {
  int (*const convert[2][2])(CVT_SIGNATURE) = {
      {cvt_uint_2_uint, cvt_uint_2_int}, {cvt_int_2_uint, cvt_int_2_int}};
  for (size_t sw : Widths)
    for (size_t dw : Widths)
      for (int from : {0, 1})
        for (int to : {0, 1}) {
          Bytes src(raw, raw + sw), dst(dw, 0xa5);
          __int128 v = from ? __int128{as_int(src)} : as_uint(src);
          int r = convert[from][to](CVT_INT, sw, src.data(), CVT_INT, dw,
                                    dst.data(), nullptr);
          __int128 got = to ? __int128{as_int(dst)} : as_uint(dst);
          FUZZ_CHECK(fits(v, dw, to) ? r == int(dw) && got == v
                                     : r == -1 && zero(dst));
        }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 3) return 0;
  uint8_t mode = data[0], a = data[1], b = data[2];
  if (mode % 2 == 0) {
    std::string text(reinterpret_cast<const char *>(data) + 3, size - 3);
    from_text(text.c_str(), a % 38);  // 0 automatic, 2-36, and 1 and 37
  } else if (size >= 11) {
    CvtFormat fmt{uint16_t(2 + a % 35), int8_t("\0 0*"[b % 4]),
                  int32_t(b >> 7)};
    to_text(Bytes(data + 3, data + 3 + Widths[a % 4]), 1 + (b >> 2) % 30, fmt);
    widths(data + 3);
  }
  return 0;
}
