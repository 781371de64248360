// The integer conversions from arbitrary text and bytes: text to integers
// of every width and base, integers back to text and in again, and width
// changes checked against the ranges. Output fields are heap blocks of
// exactly their stated size, so a write past one is caught.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common.h"
#include "libcvt.h"

namespace {

constexpr size_t Widths[] = {1, 2, 4, 8};

bool all_zero(const std::vector<uint8_t> &b) {
  return b == std::vector<uint8_t>(b.size());
}

// The value of a field of 1 to 8 bytes, widened (a little-endian machine).
uint64_t get_uint(const std::vector<uint8_t> &b) {
  uint64_t v = 0;
  std::memcpy(&v, b.data(), b.size());
  return v;
}
int64_t get_int(const std::vector<uint8_t> &b) {
  const int shift = 64 - 8 * int(b.size());
  return int64_t(get_uint(b) << shift) >> shift;
}
bool fits_int(__int128 v, size_t w) {
  __int128 lim = __int128{1} << (8 * w - 1);
  return v >= -lim && v < lim;
}
bool fits_uint(__int128 v, size_t w) {
  return v >= 0 && (w == 8 || v < (__int128{1} << (8 * w)));
}

// Text to every width: each result is the value or -1 with a zero field,
// and a wider field never refuses what a narrower one took.
void from_text(const char *text, uint16_t base) {
  CvtFormat fmt{base, 0, 0};
  const CvtFormat *f = base == 0 ? nullptr : &fmt;
  bool ok_before = false;
  for (size_t w : Widths) {
    std::vector<uint8_t> si(w), ui(w);
    int rs = cvt_string_2_int(CVT_STRING, 0, text, CVT_INT, w, si.data(), f);
    int ru = cvt_string_2_uint(CVT_STRING, 0, text, CVT_UINT, w, ui.data(), f);
    FUZZ_CHECK(rs == int(w) || (rs == -1 && all_zero(si)));
    FUZZ_CHECK(ru == int(w) || (ru == -1 && all_zero(ui)));
    FUZZ_CHECK(!ok_before || rs == int(w));
    ok_before = rs == int(w);
    if (rs > 0) {  // decimal text and back
      int64_t v = get_int(si);
      std::vector<char> out(21);
      int n =
          cvt_int_2_string(CVT_INT, 8, &v, CVT_STRING, 21, out.data(), nullptr);
      FUZZ_CHECK(n > 0 && size_t(n) == std::strlen(out.data()) + 1);
      int64_t back;
      CvtFormat ten{10, 0, 0};
      FUZZ_CHECK(cvt_string_2_int(CVT_STRING, 0, out.data(), CVT_INT, 8, &back,
                                  &ten) == 8 &&
                 back == v);
    }
  }
  std::vector<uint8_t> odd(3, 0xff);
  FUZZ_CHECK(cvt_string_2_uint(CVT_STRING, 0, text, CVT_UINT, 3, odd.data(),
                               f) == -1 &&
             all_zero(odd));
}

// An integer to text in a field of `size` bytes and back.
void to_text(const uint8_t *raw, size_t w, uint32_t size, CvtFormat fmt) {
  std::vector<uint8_t> src(raw, raw + w);
  std::vector<char> out(size);
  int n = cvt_int_2_string(CVT_INT, w, src.data(), CVT_STRING, size, out.data(),
                           nullptr);
  if (n > 0) {
    FUZZ_CHECK(size_t(n) <= size && size_t(n) == std::strlen(out.data()) + 1);
    std::vector<uint8_t> back(w);
    FUZZ_CHECK(cvt_string_2_int(CVT_STRING, 0, out.data(), CVT_INT, w,
                                back.data(), nullptr) == int(w));
    FUZZ_CHECK(back == src);
  } else {
    FUZZ_CHECK(n == -1);
  }
  n = cvt_uint_2_string(CVT_UINT, w, src.data(), CVT_STRING, size, out.data(),
                        &fmt);
  if (n < 0) return;
  FUZZ_CHECK(size_t(n) <= size && out[n - 1] == '\0');
  // Blank or zero padding reads back; other pad characters do not.
  bool readable =
      fmt.pad == 0 || fmt.pad == ' ' || (fmt.pad == '0' && fmt.right_justify);
  if (!readable) return;
  std::vector<uint8_t> back(w);
  CvtFormat in{fmt.base, 0, 0};
  FUZZ_CHECK(cvt_string_2_uint(CVT_STRING, 0, out.data(), CVT_UINT, w,
                               back.data(), &in) == int(w));
  FUZZ_CHECK(back == src);
}

// Every width change between signed and unsigned fields.
void widths(const uint8_t *raw) {
  for (size_t sw : Widths)
    for (size_t dw : Widths) {
      std::vector<uint8_t> src(raw, raw + sw), dst(dw);
      __int128 vs = get_int(src), vu = get_uint(src);
      struct {
        int (*fn)(CVT_SIGNATURE);
        __int128 v;
        bool fits;
        bool sign;
      } cases[] = {
          {cvt_int_2_int, vs, fits_int(vs, dw), true},
          {cvt_int_2_uint, vs, fits_uint(vs, dw), false},
          {cvt_uint_2_int, vu, fits_int(vu, dw), true},
          {cvt_uint_2_uint, vu, fits_uint(vu, dw), false},
      };
      for (auto &c : cases) {
        std::fill(dst.begin(), dst.end(), 0xa5);
        int r = c.fn(CVT_INT, sw, src.data(), CVT_INT, dw, dst.data(), nullptr);
        if (!c.fits) {
          FUZZ_CHECK(r == -1 && all_zero(dst));
          continue;
        }
        FUZZ_CHECK(r == int(dw));
        __int128 got = c.sign ? __int128{get_int(dst)} : get_uint(dst);
        FUZZ_CHECK(got == c.v);
      }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz_setup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 3) return 0;
  uint8_t mode = data[0], a = data[1], b = data[2];
  data += 3;
  size -= 3;
  if (mode % 2 == 0) {
    std::string text(reinterpret_cast<const char *>(data), size);
    from_text(text.c_str(), a % 38);  // 0 automatic, 2-36, and 1 and 37
  } else if (size >= 8) {
    CvtFormat fmt{uint16_t(2 + a % 35), int8_t("\0 0*"[b % 4]),
                  int32_t(b >> 7)};
    to_text(data, Widths[a % 4], 1 + (b >> 2) % 30, fmt);
    widths(data);
  }
  return 0;
}
