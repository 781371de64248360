// Range overlap and formatted printing into a sized buffer.
#include <cstdarg>
#include <cstdio>

#include "libstd.h"

int std_util_overlap(int64_t start1, uint32_t length1, int64_t start2,
                     uint32_t length2) {
  if (length1 == 0 || length2 == 0) return 0;
  // Distances as unsigned 64-bit values: exact for any two starts, so
  // neither the ends nor the span can overflow.
  if (start1 <= start2)
    return static_cast<uint64_t>(start2) - static_cast<uint64_t>(start1) <
           length1;
  return static_cast<uint64_t>(start1) - static_cast<uint64_t>(start2) <
         length2;
}

int std_snprintf(char *buffer, uint32_t size, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int length = vsnprintf(buffer, size, format, args);
  va_end(args);
  if (length < 0) {
    if (size > 0) buffer[0] = '\0';
    return -1;
  }
  // The text was cut to size - 1 characters (or not written for size 0).
  if (static_cast<uint32_t>(length) >= size) return -1;
  return length;
}
