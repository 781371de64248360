// Integer conversion library: integers of any width and signedness to each
// other and to and from text. Every conversion has the same signature and
// returns the number of bytes written to the destination, or -1.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint16_t CVT_INT = 1;
constexpr uint16_t CVT_UINT = 2;
constexpr uint16_t CVT_STRING = 4;

// How integer text is written or read.
struct CvtFormat {
  uint16_t base;          // 2-36; when reading, 0 means from the prefix
  int8_t pad;             // pad character for written fields; 0 for none
  int32_t right_justify;  // nonzero: digits at the field's right end
};

// Decimal, no padding, left-justified.
extern const CvtFormat DefFmt;

#define CVT_SIGNATURE                                                     \
  uint16_t src_type, size_t src_size, const void *src, uint16_t dst_type, \
      size_t dst_size, void *dst, const CvtFormat *format

// Width conversions (widths 1, 2, 4, 8). The destination is zeroed first
// and stays zero after any failure (bad width, sign change, out of range).
int cvt_int_2_int(CVT_SIGNATURE);
int cvt_int_2_uint(CVT_SIGNATURE);
int cvt_uint_2_int(CVT_SIGNATURE);
int cvt_uint_2_uint(CVT_SIGNATURE);

// Decimal text; returns length + 1. The destination is untouched when the
// text does not fit. The format is not read.
int cvt_int_2_string(CVT_SIGNATURE);
// Text in the format's base (DefFmt when null) in a field of dst_size.
int cvt_uint_2_string(CVT_SIGNATURE);
// Text in the format's base (automatic when null: 0x hex, 0 octal); white
// space around the number is allowed, anything else fails. The source must
// be terminated; src_size is not read. Returns dst_size; on failure the
// destination is zero.
int cvt_string_2_int(CVT_SIGNATURE);
int cvt_string_2_uint(CVT_SIGNATURE);
