// Integer and text conversion. Integers pass through the width
// conversions at 64 bits, so every range check lives in one place.

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "libcvt.h"
#include "libstd.h"

const CvtFormat DefFmt = {10, 0, 0};

namespace {

static_assert(sizeof(long long) == 8 && sizeof(unsigned long long) == 8);

constexpr bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

// Reads the whole text as one number with white space around it. Base 0
// takes the base from the prefix (0x hex, 0 octal).
template <typename T>
bool read_number(const void *src, const CvtFormat *format, T *value) {
  int base = format != nullptr ? format->base : 0;
  // The number reader leaves the end pointer unset for a base it refuses.
  if (src == nullptr || base == 1 || base > 36) return false;
  const char *text = static_cast<const char *>(src);
  char *end = nullptr;
  errno = 0;
  if constexpr (std::is_signed_v<T>) {
    *value = std::strtoll(text, &end, base);
    if ((*value == LLONG_MAX || *value == LLONG_MIN) && errno == ERANGE)
      return false;
  } else {
    *value = std::strtoull(text, &end, base);
    if (*value == ULLONG_MAX && errno == ERANGE) return false;
    // The reader negates "-n" modulo 2^64; a negative number is not an
    // unsigned one, however it wraps.
    const char *sign = text;
    while (is_space(*sign)) ++sign;
    if (*sign == '-' && *value != 0) return false;
  }
  while (is_space(*end)) ++end;
  return *end == '\0';
}

}  // namespace

int cvt_int_2_string(uint16_t, size_t src_size, const void *src, uint16_t,
                     size_t dst_size, void *dst, const CvtFormat *) {
  long long value;
  if (dst == nullptr || cvt_int_2_int(CVT_INT, src_size, src, CVT_INT,
                                      sizeof value, &value, nullptr) < 0)
    return -1;
  char text[24];
  int length = std::snprintf(text, sizeof text, "%lld", value);
  if (length < 0 || static_cast<size_t>(length) >= dst_size) return -1;
  // The text fits in length + 1 bytes: no wider size can be cut short.
  std_strcpy(static_cast<char *>(dst), length + 1, text);
  return length + 1;
}

int cvt_uint_2_string(uint16_t, size_t src_size, const void *src, uint16_t,
                      size_t dst_size, void *dst, const CvtFormat *format) {
  const CvtFormat &f = format != nullptr ? *format : DefFmt;
  unsigned long long value;
  if (dst == nullptr || dst_size < 2 || dst_size > INT_MAX || f.base < 2 ||
      f.base > 36 ||
      cvt_uint_2_uint(CVT_UINT, src_size, src, CVT_UINT, sizeof value, &value,
                      nullptr) < 0)
    return -1;
  char *field = static_cast<char *>(dst);
  size_t end = dst_size - 1;
  size_t first = end;
  field[end] = '\0';
  do {
    field[--first] =
        static_cast<char>(std_char_todigcode(value % f.base, f.base));
    value /= f.base;
  } while (value != 0 && first > 0);
  if (value != 0) return -1;

  size_t digits = end - first;
  if (f.right_justify != 0) {
    std::memset(field, f.pad != 0 ? f.pad : ' ', first);
    return static_cast<int>(dst_size);
  }
  std::memmove(field, field + first, digits + 1);
  if (f.pad == 0) return static_cast<int>(digits + 1);
  std::memset(field + digits, f.pad, end - digits);
  field[end] = '\0';
  return static_cast<int>(dst_size);
}

// Both readers parse before they clear the destination, so the text may
// share its storage with the destination field.
int cvt_string_2_int(uint16_t, size_t, const void *src, uint16_t dst_type,
                     size_t dst_size, void *dst, const CvtFormat *format) {
  long long value;
  if (dst == nullptr) return -1;
  if (!read_number(src, format, &value)) {
    std::memset(dst, 0, dst_size);
    return -1;
  }
  return cvt_int_2_int(CVT_INT, sizeof value, &value, dst_type, dst_size, dst,
                       nullptr);
}

int cvt_string_2_uint(uint16_t, size_t, const void *src, uint16_t dst_type,
                      size_t dst_size, void *dst, const CvtFormat *format) {
  unsigned long long value;
  if (dst == nullptr) return -1;
  if (!read_number(src, format, &value)) {
    std::memset(dst, 0, dst_size);
    return -1;
  }
  return cvt_uint_2_uint(CVT_UINT, sizeof value, &value, dst_type, dst_size,
                         dst, nullptr);
}
