// Bounded string copies: the size is the whole destination, terminator
// included, and a destination of at least one byte is always terminated.
#include <cstdarg>
#include <cstring>

#include "libstd.h"

// Copies at most size - 1 characters and terminates; returns the number of
// characters copied. A null source copies as the empty text.
static uint32_t copy_string(char *destination, uint32_t size,
                            const char *source) {
  if (size == 0) return 0;
  uint32_t n = 0;
  if (source != nullptr) {
    n = static_cast<uint32_t>(strnlen(source, size - 1));
    memmove(destination, source, n);
  }
  destination[n] = '\0';
  return n;
}

char *std_strcpy(char *destination, uint32_t size, const char *source) {
  copy_string(destination, size, source);
  return destination;
}

char *std_strcat(char *destination, uint32_t size, const char *source, ...) {
  if (size == 0) return destination;
  // An unterminated destination must not be read past its size.
  uint32_t length = static_cast<uint32_t>(strnlen(destination, size));
  if (length >= size) {
    destination[size - 1] = '\0';
    return destination;
  }
  va_list sources;
  va_start(sources, source);
  for (const char *s = source; s != nullptr; s = va_arg(sources, const char *))
    length += copy_string(destination + length, size - length, s);
  va_end(sources);
  return destination;
}

char *std_strfill(char *destination, uint32_t size, int character) {
  if (size == 0) return destination;
  memset(destination, character, size - 1);
  destination[size - 1] = '\0';
  return destination;
}

char *std_strdup(AllocMethods *methods, const char *source) {
  if (source == nullptr) return nullptr;
  size_t length = strlen(source);
  // The size must fit the allocator's 32-bit size, terminator included.
  if (length >= UINT32_MAX) return nullptr;
  uint32_t size = static_cast<uint32_t>(length) + 1;
  char *copy = static_cast<char *>(std_malloc(methods, size));
  if (copy != nullptr) copy_string(copy, size, source);
  return copy;
}
