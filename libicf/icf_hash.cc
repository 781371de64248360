// The fingerprint of a saved text. Four lanes take one 8-byte word each of
// every 32 bytes, so the multiplications of neighbouring words overlap and
// the hash runs at several bytes per cycle; bytes that do not yet make a
// whole block wait in the tail, so the value depends on the bytes only,
// not on how they were cut into pieces. Words are read in the machine's
// order: the value is compared within one process and never stored.

#include <algorithm>
#include <cstring>

#include "libicf.h"

namespace {

constexpr uint64_t Prime_1 = 0x9e3779b185ebca87ULL;
constexpr uint64_t Prime_2 = 0xc2b2ae3d27d4eb4fULL;
constexpr uint64_t Prime_3 = 0x165667b19e3779f9ULL;
constexpr uint64_t Prime_4 = 0x85ebca77c2b2ae63ULL;

uint64_t rotl(uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

uint64_t word(const unsigned char *p) {
  uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

uint64_t round(uint64_t lane, uint64_t w) {
  return rotl(lane + w * Prime_2, 31) * Prime_1;
}

void block(uint64_t *lane, const unsigned char *p) {
  for (int i = 0; i < 4; ++i) lane[i] = round(lane[i], word(p + 8 * i));
}

}  // namespace

void icf_hash_add(IcfHash *hash, const char *data, size_t size) {
  const auto *p = reinterpret_cast<const unsigned char *>(data);
  size_t held = hash->size % sizeof hash->tail;
  hash->size += size;
  if (held > 0) {
    const size_t take = std::min(size, sizeof hash->tail - held);
    std::memcpy(hash->tail + held, p, take);
    p += take;
    size -= take;
    if (held + take < sizeof hash->tail) return;
    block(hash->state, hash->tail);
  }
  for (; size >= sizeof hash->tail;
       p += sizeof hash->tail, size -= sizeof hash->tail)
    block(hash->state, p);
  std::memcpy(hash->tail, p, size);
}

uint64_t icf_hash_value(const IcfHash *hash) {
  const uint64_t *lane = hash->state;
  uint64_t h = rotl(lane[0], 1) + rotl(lane[1], 7) + rotl(lane[2], 12) +
               rotl(lane[3], 18) + hash->size * Prime_3;
  const size_t held = hash->size % sizeof hash->tail;
  size_t i = 0;
  for (; i + 8 <= held; i += 8)
    h = rotl(h ^ round(0, word(hash->tail + i)), 27) * Prime_1 + Prime_4;
  for (; i < held; ++i) h = rotl(h ^ (hash->tail[i] * Prime_3), 11) * Prime_1;
  h ^= h >> 33;
  h *= Prime_2;
  h ^= h >> 29;
  h *= Prime_3;
  return h ^ (h >> 32);
}
