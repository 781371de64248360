// Integer width conversion: every value passes through a 64-bit
// intermediate and is range-checked against the destination width.
//
// Fields are read and written with memcpy so that any byte address works,
// whatever the alignment or the declared type of the caller's object.

#include <cstdint>
#include <cstring>
#include <utility>

#include "libcvt.h"

namespace {

template <typename T>
T load(const void *source) {
  T value;
  std::memcpy(&value, source, sizeof value);
  return value;
}

// Stores `value` as a T when it lies in T's range; 0 otherwise.
template <typename T, typename V>
int store(V value, void *destination) {
  if (!std::in_range<T>(value)) return 0;
  T narrow = static_cast<T>(value);
  std::memcpy(destination, &narrow, sizeof narrow);
  return 1;
}

int extract_int(const void *source, size_t size, int64_t *result) {
  switch (size) {
    case 1:
      *result = load<int8_t>(source);
      return 1;
    case 2:
      *result = load<int16_t>(source);
      return 1;
    case 4:
      *result = load<int32_t>(source);
      return 1;
    case 8:
      *result = load<int64_t>(source);
      return 1;
  }
  *result = 0;
  return 0;
}

int extract_uint(const void *source, size_t size, uint64_t *result) {
  switch (size) {
    case 1:
      *result = load<uint8_t>(source);
      return 1;
    case 2:
      *result = load<uint16_t>(source);
      return 1;
    case 4:
      *result = load<uint32_t>(source);
      return 1;
    case 8:
      *result = load<uint64_t>(source);
      return 1;
  }
  *result = 0;
  return 0;
}

int insert_int(int64_t value, void *destination, size_t size) {
  switch (size) {
    case 1:
      return store<int8_t>(value, destination);
    case 2:
      return store<int16_t>(value, destination);
    case 4:
      return store<int32_t>(value, destination);
    case 8:
      return store<int64_t>(value, destination);
  }
  return 0;
}

int insert_uint(uint64_t value, void *destination, size_t size) {
  switch (size) {
    case 1:
      return store<uint8_t>(value, destination);
    case 2:
      return store<uint16_t>(value, destination);
    case 4:
      return store<uint32_t>(value, destination);
    case 8:
      return store<uint64_t>(value, destination);
  }
  return 0;
}

}  // namespace

// Each conversion reads its source before it clears the destination, so a
// field converted in place keeps its value; after a failure the
// destination is zero either way.

int cvt_int_2_int(uint16_t, size_t src_size, const void *src, uint16_t,
                  size_t dst_size, void *dst, const CvtFormat *) {
  if (dst == nullptr) return -1;
  int64_t value = 0;
  int ok = src != nullptr && extract_int(src, src_size, &value);
  std::memset(dst, 0, dst_size);
  ok = ok && insert_int(value, dst, dst_size);
  return ok ? static_cast<int>(dst_size) : -1;
}

int cvt_int_2_uint(uint16_t, size_t src_size, const void *src, uint16_t,
                   size_t dst_size, void *dst, const CvtFormat *) {
  if (dst == nullptr) return -1;
  int64_t value = 0;
  int ok = src != nullptr && extract_int(src, src_size, &value);
  std::memset(dst, 0, dst_size);
  ok = ok && value >= 0 &&
       insert_uint(static_cast<uint64_t>(value), dst, dst_size);
  return ok ? static_cast<int>(dst_size) : -1;
}

int cvt_uint_2_int(uint16_t, size_t src_size, const void *src, uint16_t,
                   size_t dst_size, void *dst, const CvtFormat *) {
  if (dst == nullptr) return -1;
  uint64_t value = 0;
  int ok = src != nullptr && extract_uint(src, src_size, &value);
  std::memset(dst, 0, dst_size);
  ok = ok && value <= static_cast<uint64_t>(INT64_MAX) &&
       insert_int(static_cast<int64_t>(value), dst, dst_size);
  return ok ? static_cast<int>(dst_size) : -1;
}

int cvt_uint_2_uint(uint16_t, size_t src_size, const void *src, uint16_t,
                    size_t dst_size, void *dst, const CvtFormat *) {
  if (dst == nullptr) return -1;
  uint64_t value = 0;
  int ok = src != nullptr && extract_uint(src, src_size, &value);
  std::memset(dst, 0, dst_size);
  ok = ok && insert_uint(value, dst, dst_size);
  return ok ? static_cast<int>(dst_size) : -1;
}
