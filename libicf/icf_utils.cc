// Interval keys, the ring and its append, and the text of the checkpoint
// file: one reader over a text in memory, whole or refilled piece by piece,
// one writer that renders it in pieces of whole lines.

#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "icf_internal.h"
#include "libicf.h"
#include "libstd.h"

namespace {

const char Invalid_Value[] = "invalid interval value";

// The reader takes the text as fscanf would with the formats
// "PERIOD=%d\nENTRIES=%d\nRETRIES=%d\n" and "%12s %x %c %12s %d\n", but
// rejects numbers that do not fit their field instead of wrapping them.

bool is_space(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Moves the unread tail of a text read piece by piece to the buffer's start
// and reads on until `n` bytes follow pos. False when the text ends first
// (or is a whole text, which has no more).
bool refill(IcfReader *r, size_t n) {
  if (r->fill == nullptr) return false;
  const size_t keep = r->size - r->pos;
  std::memmove(r->buffer, r->text + r->pos, keep);
  r->text = r->buffer;
  r->size = keep;
  r->pos = 0;
  while (r->size < n && !r->ended) {
    const int64_t got =
        r->fill(r->context, r->buffer + r->size, r->capacity - r->size);
    if (got <= 0)
      r->ended = 1;
    else
      r->size += static_cast<size_t>(got);
  }
  return r->size >= n;
}

// At least `n` bytes after pos, refilling when need be.
inline bool have(IcfReader *r, size_t n) {
  return r->size - r->pos >= n || refill(r, n);
}

inline bool at_end(IcfReader *r) { return !have(r, 1); }

inline int peek(IcfReader *r) {
  return at_end(r) ? -1 : static_cast<unsigned char>(r->text[r->pos]);
}

void skip_space(IcfReader *r) {
  for (int c; (c = peek(r)) >= 0 && is_space(c); ++r->pos)
    if (c == '\n') ++r->line;
}

bool match(IcfReader *r, const char *literal) {
  const size_t n = std::strlen(literal);
  if (!have(r, n) || std::memcmp(r->text + r->pos, literal, n) != 0)
    return false;
  r->pos += n;
  return true;
}

int digit_value(int c, int base) {
  int value = c >= '0' && c <= '9'   ? c - '0'
              : c >= 'a' && c <= 'z' ? c - 'a' + 10
              : c >= 'A' && c <= 'Z' ? c - 'A' + 10
                                     : 99;
  return value < base ? value : -1;
}

// Digits in `base` from pos on, into *value, saturating above `limit`.
// False when there is none.
bool digits(IcfReader *r, int base, uint64_t limit, uint64_t *value) {
  size_t count = 0;
  *value = 0;
  for (int d; (d = digit_value(peek(r), base)) >= 0; ++r->pos, ++count)
    if (*value <= limit) *value = *value * static_cast<uint64_t>(base) + d;
  return count > 0;
}

enum Number { NUMBER_OK, NUMBER_NONE, NUMBER_RANGE };

// A signed decimal number within int32_t, after white space.
Number read_int(IcfReader *r, int32_t *out) {
  skip_space(r);
  const bool negative = peek(r) == '-';
  if (negative || peek(r) == '+') ++r->pos;
  const uint64_t limit = negative ? 0x80000000u : 0x7fffffffu;
  uint64_t value;
  if (!digits(r, 10, limit, &value)) return NUMBER_NONE;
  if (value > limit) return NUMBER_RANGE;
  *out = static_cast<int32_t>(negative ? -static_cast<int64_t>(value)
                                       : static_cast<int64_t>(value));
  return NUMBER_OK;
}

// A hexadecimal number within 32 bits, optionally with a 0x prefix.
Number read_hex(IcfReader *r, uint32_t *out) {
  if (peek(r) == '+') ++r->pos;
  if (peek(r) == '0' && have(r, 2) &&
      (r->text[r->pos + 1] == 'x' || r->text[r->pos + 1] == 'X')) {
    if (!have(r, 3) ||
        digit_value(static_cast<unsigned char>(r->text[r->pos + 2]), 16) < 0)
      return NUMBER_NONE;
    r->pos += 2;
  }
  uint64_t value;
  if (!digits(r, 16, UINT32_MAX, &value)) return NUMBER_NONE;
  if (value > UINT32_MAX) return NUMBER_RANGE;
  *out = static_cast<uint32_t>(value);
  return NUMBER_OK;
}

// At most 12 bytes that are not white space, at pos. A NUL byte fails: the
// word would be written back cut at it, and a key cut to nothing would
// shift every field of its line on the next open. *cut: the word went on.
bool read_word(IcfReader *r, char (&word)[13], bool *cut) {
  int n = 0;
  for (int c; n < 12 && (c = peek(r)) >= 0 && !is_space(c); ++r->pos) {
    if (c == '\0') return false;
    word[n++] = static_cast<char>(c);
  }
  // The whole array is written, so that it can be copied as it is.
  std::memset(word + n, 0, sizeof word - n);
  *cut = n == 12 && peek(r) >= 0 && !is_space(peek(r));
  return true;
}

// Hexadecimal digits' values; 0xff for any other byte.
struct HexDigits {
  uint8_t value[256];
  constexpr HexDigits() : value() {
    for (int c = 0; c < 256; ++c)
      value[c] = c >= '0' && c <= '9'   ? c - '0'
                 : c >= 'a' && c <= 'f' ? c - 'a' + 10
                 : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                        : 0xff;
  }
};
constexpr HexDigits Hex;

uint64_t load8(const char *p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// Whether any of the 8 bytes is at most ' ' (bytes from 0x80 on are not).
bool any_space_or_control(uint64_t v) {
  constexpr uint64_t ones = 0x0101010101010101u, high = 0x8080808080808080u;
  return ((v - ones * 0x21) & ~v & high) != 0;
}

// 12 bytes above the space: a word that the field by field reading reads
// the same. (Other control bytes are word bytes too, but rare enough to be
// left to that reading.)
bool is_plain_word(const char *p) {
  return !any_space_or_control(load8(p)) && !any_space_or_control(load8(p + 4));
}

constexpr uint64_t Ones = 0x0101010101010101u, High = 0x8080808080808080u;

// The high bit of every byte of v from lo to hi. Exact where all bytes are
// below 0x80; a byte from 0x80 on is never in range, though its neighbour's
// bit may then be wrong, so that a test of all eight stays exact.
uint64_t in_range(uint64_t v, unsigned lo, unsigned hi) {
  return (v + Ones * (0x80 - lo)) & ~(v + Ones * (0x7f - hi)) & ~v & High;
}

// The time column as the writer writes it from 1978 on: eight lowercase
// hexadecimal digits, read at once; -1 for any other (padded, uppercase).
int64_t hex8(const char *p) {
  const uint64_t v = load8(p);
  const uint64_t letters = in_range(v, 'a', 'f');
  if ((in_range(v, '0', '9') | letters) != High) return -1;
  // Each byte its digit's value, the first digit the highest byte, then
  // neighbours joined: pairs, fours, all eight.
  uint64_t n =
      __builtin_bswap64((v & 0x0f0f0f0f0f0f0f0fu) + (letters >> 7) * 9);
  n = (n | n >> 4) & 0x00ff00ff00ff00ffu;
  n = (n | n >> 8) & 0x0000ffff0000ffffu;
  return static_cast<int64_t>((n | n >> 16) & 0xffffffffu);
}

// The retry column as the writer writes it: four decimal digits, or -1.
int32_t count4(const char *p) {
  uint32_t d;
  std::memcpy(&d, p, 4);
  d -= 0x30303030u;
  if (((d | (d + 0x76767676u)) & 0x80808080u) != 0) return -1;
  d = (d * 10 + (d >> 8)) & 0x00ff00ffu;
  return static_cast<int32_t>((d & 0xff) * 100 + (d >> 16));
}

// The time column's digits after any padding, one at a time.
bool padded_hex(const char *p, uint32_t *time) {
  int i = 13;
  while (i < 20 && p[i] == ' ') ++i;
  uint32_t value = 0, bad = 0;
  for (; i < 21; ++i) {
    const uint32_t d = Hex.value[static_cast<unsigned char>(p[i])];
    bad |= d;
    value = value << 4 | (d & 15);
  }
  *time = value;
  return bad <= 15;
}

__attribute__((always_inline)) inline bool read_line(const char *p,
                                                     IcfRecord *rec) {
  if (p[12] != ' ' || p[21] != ' ' || p[23] != ' ' || p[36] != ' ' ||
      !is_space(p[41]) || is_space(p[22]) || !is_plain_word(p) ||
      !is_plain_word(p + 24))
    return false;
  const int64_t time = hex8(p + 13);
  uint32_t padded = 0;
  if (time < 0 && !padded_hex(p, &padded)) return false;
  const int32_t count = count4(p + 37);
  if (count < 0) return false;
  std::memcpy(rec->key, p, 12);
  rec->key[12] = '\0';
  std::memcpy(rec->stamp, p + 24, 12);
  rec->stamp[12] = '\0';
  rec->time = time >= 0 ? static_cast<uint32_t>(time) : padded;
  rec->status = static_cast<unsigned char>(p[22]);
  rec->retry_count = count;
  return true;
}

int fail(IcfReader *r, int32_t fault, int32_t line) {
  r->fault = fault;
  r->fault_line = line;
  return 0;
}

// ---- Writing ------------------------------------------------------------

// `value` in decimal, zero-padded as %0*d pads (after the sign).
char *put_int(char *p, int64_t value, int width) {
  char digits[24];
  int n = 0;
  uint64_t v = value < 0 ? 0 - static_cast<uint64_t>(value)
                         : static_cast<uint64_t>(value);
  do digits[n++] = static_cast<char>('0' + v % 10);
  while ((v /= 10) != 0);
  if (value < 0) {
    *p++ = '-';
    --width;
  }
  for (; width > n; --width) *p++ = '0';
  while (n > 0) *p++ = digits[--n];
  return p;
}

bool has_zero_byte(uint64_t v) {
  return ((v - 0x0101010101010101u) & ~v & 0x8080808080808080u) != 0;
}

bool has_zero_byte(uint32_t v) {
  return ((v - 0x01010101u) & ~v & 0x80808080u) != 0;
}

char *put_text(char *p, const char *text) {
  const size_t n = std::strlen(text);
  std::memcpy(p, text, n);
  return p + n;
}

// A key or stamp: nearly always 12 characters, which need no strlen.
char *put_word(char *p, const char (&word)[13]) {
  uint64_t head;
  uint32_t tail;
  std::memcpy(&head, word, 8);
  std::memcpy(&tail, word + 8, 4);
  if (has_zero_byte(head) || has_zero_byte(tail)) return put_text(p, word);
  std::memcpy(p, word, 12);
  return p + 12;
}

size_t int_width(int64_t value, size_t width) {
  uint64_t v = value < 0 ? 0 - static_cast<uint64_t>(value)
                         : static_cast<uint64_t>(value);
  size_t n = 1;
  while ((v /= 10) != 0) ++n;
  if (value < 0) ++n;
  return n > width ? n : width;
}

// The most one header or entry line takes.
constexpr size_t Header_Bound = 3 * 20 + 32;
constexpr size_t Line_Bound = 12 + 1 + 8 + 1 + 1 + 1 + 12 + 1 + 11 + 1;
static_assert(Line_Bound <= ICF_RENDER_MIN && Header_Bound <= ICF_RENDER_MIN);

char *put_header(char *p, const IcfTable *t) {
  p = put_int(put_text(p, "PERIOD="), t->period, 0);
  p = put_int(put_text(p, "\nENTRIES="), t->capacity, 0);
  p = put_int(put_text(p, "\nRETRIES="), t->retries, 0);
  *p++ = '\n';
  return p;
}

// One line as "%s %8x %c %s %04d\n" writes it.
char *put_entry(char *p, const IcfEntry *e) {
  p = put_word(p, e->key);
  *p++ = ' ';
  uint32_t hex = static_cast<uint32_t>(e->time);
  for (int i = 7; i >= 0; --i, hex >>= 4)
    p[i] = hex != 0 || i == 7 ? "0123456789abcdef"[hex & 15] : ' ';
  p += 8;
  *p++ = ' ';
  *p++ = static_cast<char>(e->status);
  *p++ = ' ';
  p = put_word(p, e->stamp);
  *p++ = ' ';
  if (e->retry_count >= 0 && e->retry_count < 10000) {
    uint32_t v = static_cast<uint32_t>(e->retry_count);
    p[3] = static_cast<char>('0' + v % 10);
    p[2] = static_cast<char>('0' + v / 10 % 10);
    p[1] = static_cast<char>('0' + v / 100 % 10);
    p[0] = static_cast<char>('0' + v / 1000);
    p += 4;
  } else {
    p = put_int(p, e->retry_count, 4);
  }
  *p++ = '\n';
  return p;
}

}  // namespace

int32_t icf_count(const IcfTable *t) {
  return t->last < 0 ? 0 : (t->last - t->first + t->capacity) % t->capacity + 1;
}

namespace {

// The rest of `stream` in a buffer from std_malloc; null when it cannot
// be read or held.
char *read_rest(FILE *stream, size_t *size) {
  size_t capacity = 4096;
  *size = 0;
  char *text = static_cast<char *>(std_malloc(nullptr, capacity));
  for (size_t n; text != nullptr; *size += n) {
    if (*size == capacity) {
      char *bigger =
          capacity > UINT32_MAX / 2
              ? nullptr
              : static_cast<char *>(std_realloc(
                    nullptr, text, static_cast<uint32_t>(capacity * 2)));
      if (bigger == nullptr) break;
      text = bigger;
      capacity *= 2;
    }
    n = std::fread(text + *size, 1, capacity - *size, stream);
    if (n == 0) {
      if (!std::ferror(stream)) return text;
      break;
    }
  }
  std_free(nullptr, text);
  return nullptr;
}

}  // namespace

namespace {

// From this size on memory is mapped, aligned to a huge page.
constexpr size_t Huge_Page = 2u << 20;

size_t mapped_size(size_t bytes) {
  return bytes < Huge_Page ? 0 : (bytes + Huge_Page - 1) & ~(Huge_Page - 1);
}

}  // namespace

void *icf_pages_new(size_t bytes) {
  const size_t size = mapped_size(bytes);
  if (size == 0)
    return bytes > UINT32_MAX
               ? nullptr
               : std_calloc(nullptr, 1, static_cast<uint32_t>(bytes));
  // Mapped with a huge page to spare, whose unaligned ends are given back.
  void *map = mmap(nullptr, size + Huge_Page, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (map == MAP_FAILED) return nullptr;
  char *const start = static_cast<char *>(map);
  char *const pages = reinterpret_cast<char *>(
      (reinterpret_cast<uintptr_t>(start) + Huge_Page - 1) & ~(Huge_Page - 1));
  if (pages > start) munmap(start, static_cast<size_t>(pages - start));
  if (pages < start + Huge_Page)
    munmap(pages + size, static_cast<size_t>(start + Huge_Page - pages));
  madvise(pages, size, MADV_HUGEPAGE);
  return pages;
}

void icf_pages_free(void *pages, size_t bytes) {
  if (pages == nullptr) return;
  const size_t size = mapped_size(bytes);
  if (size == 0)
    std_free(nullptr, pages);
  else
    munmap(pages, size);
}

IcfEntry *icf_ring_new(int32_t capacity) {
  if (capacity < 1 || capacity > ICF_MAX_ENTRIES) return nullptr;
  return static_cast<IcfEntry *>(
      icf_pages_new(static_cast<size_t>(capacity) * sizeof(IcfEntry)));
}

void icf_ring_free(IcfEntry *entries, int32_t capacity) {
  if (capacity >= 1 && capacity <= ICF_MAX_ENTRIES)
    icf_pages_free(entries, static_cast<size_t>(capacity) * sizeof(IcfEntry));
}

void icf_leave_pending(IcfTable *table, IcfEntry *entry) {
  if (entry->link.queue != nullptr && table->cursor == entry)
    table->cursor =
        static_cast<IcfEntry *>(queue_data(queue_prev(&entry->link)));
  queue_remove(&entry->link);
}

IcfEntry *icf_ring_take(IcfTable *table, bool count_dropped) {
  table->appended++;
  const bool fresh = table->first <= 0 && table->last + 1 < table->capacity;
  table->last = (table->last + 1) % table->capacity;
  if (table->last == table->first)
    table->first = (table->first + 1) % table->capacity;
  if (table->first < 0) table->first = 0;
  IcfEntry *entry = &table->entries[table->last];
  if (fresh) return entry;
  if (count_dropped && entry->link.queue != nullptr)
    icf_note_dropped(table, 1, entry->time, entry->key, entry->time,
                     entry->key);
  icf_leave_pending(table, entry);
  return entry;
}

IcfEntry *icf_entry_new(IcfTable *table, time_t time, const char *key,
                        const char *stamp, int status, int32_t retry_count) {
  IcfEntry *entry = icf_ring_take(table, true);
  std::memset(entry, 0, sizeof *entry);
  entry->time = time;
  entry->status = status;
  entry->retry_count = retry_count;
  std_strcpy(entry->key, sizeof entry->key, key);
  std_strcpy(entry->stamp, sizeof entry->stamp, stamp);
  queue_init(&entry->link, entry);
  return entry;
}

void icf_note_dropped(IcfTable *table, int64_t count, time_t first,
                      const char *first_key, time_t last,
                      const char *last_key) {
  IcfDropped &d = table->dropped;
  if (count <= 0) return;
  if (d.count == 0) {
    d.first = first;
    std_strcpy(d.first_key, sizeof d.first_key, first_key);
  }
  d.count += count;
  d.last = last;
  std_strcpy(d.last_key, sizeof d.last_key, last_key);
}

const char *icf_cnv_time(const char *text, time_t *time) {
  time_t t = 0;
  // -1 is the failure value of the conversion, whatever the zone.
  int ok = std_time_parse(text, nullptr, 1, &t, nullptr) && t != -1;
  // Where the clock repeats a time, the conversion picks either pass,
  // depending on the conversions before it. A key always names the first
  // pass, which is the one the scheduler writes.
  time_t first, last;
  if (ok && icf_local_passes(t, &first, &last)) t = first;
  if (time != nullptr) *time = ok ? t : 0;
  return ok ? nullptr : Invalid_Value;
}

const char *icf_cnv_key(const char *text, time_t *time) {
  // The fields as the conversion reads them, those not given as it fills
  // them in. The conversion carries a field out of its range (a 31 June, an
  // hour 24) and a time the clock skips into another time: whatever the
  // field, the time it gives then shows other fields.
  long f[6] = {0, 1, 1, 0, 0, 0};
  const int given = text == nullptr
                        ? 0
                        : std::sscanf(text, "%02ld%02ld%02ld%02ld%02ld%02ld",
                                      &f[0], &f[1], &f[2], &f[3], &f[4], &f[5]);
  time_t t;
  const char *why = icf_cnv_time(text, &t);
  if (time != nullptr) *time = t;
  if (why != nullptr || given <= 0) return why;
  struct tm tm;
  if (localtime_r(&t, &tm) == nullptr || tm.tm_year % 100 != f[0] % 100 ||
      tm.tm_mon + 1 != f[1] || tm.tm_mday != f[2] || tm.tm_hour != f[3] ||
      tm.tm_min != f[4] || tm.tm_sec != f[5])
    return Invalid_Value;
  return nullptr;
}

int icf_cnv_time_str(time_t time, char *buffer) {
  return std_time_format(&time, nullptr, nullptr, buffer, 13, 1) == 12;
}

int icf_key_text(time_t time, char *buffer) {
  if (time != 0) return icf_cnv_time_str(time, buffer);
  // The conversion takes 0 for the clock. The epoch shows the local time of
  // the second after it, one second less: no zone changed its offset there.
  if (!icf_cnv_time_str(1, buffer) || (buffer[10] == '0' && buffer[11] == '0'))
    return 0;
  if (buffer[11]-- == '0') buffer[11] = '9', buffer[10]--;
  return 1;
}

// ---- Reading ------------------------------------------------------------

namespace {

// Appends a record read from the file as icf_entry_new would, without its
// clearing and string copies (a record's words come with NUL bytes up to
// their 13th byte); the records a longer file pushes out of the ring are
// the file's own, not dropped by a run.
IcfEntry *append(IcfTable *table, time_t time, const IcfRecord &rec) {
  IcfEntry *entry = icf_ring_take(table, false);
  entry->time = time;
  std::memcpy(entry->key, rec.key, sizeof entry->key);
  std::memcpy(entry->stamp, rec.stamp, sizeof entry->stamp);
  entry->status = rec.status;
  entry->retry_count = rec.retry_count;
  queue_init(&entry->link, entry);
  return entry;
}

// Appends every record to the ring, queueing the pending ones.
int read_records(IcfReader *r, IcfTable *table) {
  for (IcfRecord rec; icf_read_record(r, &rec);) {
    IcfEntry *entry = append(table, icf_record_time(&rec), rec);
    if (icf_pending(rec.status)) queue_insert(&table->pending, &entry->link);
  }
  return r->fault == ICF_READ_OK;
}

}  // namespace

void icf_reader_init(IcfReader *reader, const char *text, size_t size) {
  std::memset(reader, 0, sizeof *reader);
  reader->text = text;
  reader->size = size;
  reader->line = 1;
}

void icf_reader_init_fill(IcfReader *reader, char *buffer, size_t capacity,
                          IcfReadFill fill, void *context) {
  icf_reader_init(reader, buffer, 0);
  reader->buffer = buffer;
  reader->capacity = capacity;
  reader->fill = fill;
  reader->context = context;
}

int icf_read_header(IcfReader *r, IcfTable *table) {
  if (peek(r) == static_cast<unsigned char>(ICF_SAVE_MARK))
    return fail(r, ICF_READ_INTERRUPTED, 1);
  static const char *const names[] = {"PERIOD=", "ENTRIES=", "RETRIES="};
  int32_t value[3];
  for (int i = 0; i < 3; ++i) {
    if (i > 0) skip_space(r);
    const int32_t line = r->line;
    if (!match(r, names[i])) return fail(r, ICF_READ_HEADER, line);
    switch (read_int(r, &value[i])) {
      case NUMBER_OK:
        break;
      case NUMBER_NONE:
        return fail(r, ICF_READ_HEADER, line);
      case NUMBER_RANGE:
        return fail(r, ICF_READ_HEADER_RANGE, line);
    }
  }
  skip_space(r);
  table->period = value[0];
  table->capacity = value[1];
  table->retries = value[2];
  return 1;
}

namespace {

// Any record but a whole line as the writer writes it where the last one
// ended: kept apart, so that such a line costs no more than its reading.
__attribute__((noinline)) int read_record(IcfReader *r, IcfRecord *rec);

}  // namespace

int icf_read_record(IcfReader *r, IcfRecord *rec) {
  if (r->size - r->pos >= 42 && read_line(r->text + r->pos, rec)) {
    rec->line = r->line;
    r->line += r->text[r->pos + 41] == '\n';
    r->pos += 42;
    r->fields = 5;
    return 1;
  }
  return read_record(r, rec);
}

namespace {

int read_record(IcfReader *r, IcfRecord *rec) {
  skip_space(r);
  const int c = peek(r);
  if (c < 0) return fail(r, ICF_READ_OK, 0);
  const int32_t line = rec->line = r->line;
  if (c == '\0') {
    // Space reserved for a save and never written, when only white space
    // and NUL bytes follow to the end; else a key that holds a NUL byte.
    for (int d; (d = peek(r)) == '\0' || is_space(d);) ++r->pos;
    const bool end = at_end(r);
    return fail(r, end ? ICF_READ_OK : ICF_READ_NUL, end ? 0 : line);
  }
  if (have(r, 42) && read_line(r->text + r->pos, rec)) {
    // The line's end too, which is white space.
    r->line += r->text[r->pos + 41] == '\n';
    r->pos += 42;
    r->fields = 5;
    return 1;
  }
  bool cut;
  if (!read_word(r, rec->key, &cut)) return fail(r, ICF_READ_NUL, line);
  skip_space(r);
  r->fields = 1;
  if (at_end(r)) return fail(r, ICF_READ_PARTIAL, line);
  switch (read_hex(r, &rec->time)) {
    case NUMBER_OK:
      break;
    case NUMBER_NONE:
      return fail(r, cut ? ICF_READ_WORD : ICF_READ_TIME, r->line);
    case NUMBER_RANGE:
      return fail(r, ICF_READ_TIME, r->line);
  }
  skip_space(r);
  r->fields = 2;
  if (at_end(r)) return fail(r, ICF_READ_PARTIAL, line);
  rec->status = static_cast<unsigned char>(r->text[r->pos++]);
  skip_space(r);
  r->fields = 3;
  if (at_end(r)) return fail(r, ICF_READ_PARTIAL, line);
  if (!read_word(r, rec->stamp, &cut)) return fail(r, ICF_READ_NUL, r->line);
  skip_space(r);
  r->fields = 4;
  if (at_end(r)) return fail(r, ICF_READ_PARTIAL, line);
  switch (read_int(r, &rec->retry_count)) {
    case NUMBER_OK:
      break;
    case NUMBER_NONE:
      return fail(r, cut ? ICF_READ_WORD : ICF_READ_COUNT, r->line);
    case NUMBER_RANGE:
      return fail(r, ICF_READ_COUNT, r->line);
  }
  r->fields = 5;
  return 1;
}

}  // namespace

time_t icf_record_time(const IcfRecord *rec) {
  time_t time = rec->time;
  // The key is what a user edits to ask for an interval again.
  if (rec->status == 'a') icf_cnv_time(rec->key, &time);
  return time;
}

int icf_text_read(IcfReader *r, IcfTable *table) {
  if (!icf_read_header(r, table)) return 0;
  // The ring needs a slot, and the scheduler would not end with a period
  // below one second.
  if (!icf_period_valid(table->period)) return fail(r, ICF_READ_PERIOD, 1);
  if (!icf_entries_valid(table->capacity)) return fail(r, ICF_READ_ENTRIES, 2);
  table->entries = icf_ring_new(table->capacity);
  if (table->entries == nullptr) return fail(r, ICF_READ_ALLOC, 0);
  table->first = table->last = -1;
  return read_records(r, table);
}

const char *icf_read_reason(int32_t fault) {
  switch (fault) {
    case ICF_READ_OK:
      return "no fault";
    case ICF_READ_INTERRUPTED:
      return "an update was cut short while it rewrote the file in place";
    case ICF_READ_HEADER:
      return "the header is not the three lines PERIOD=, ENTRIES= and "
             "RETRIES=, each with a number";
    case ICF_READ_HEADER_RANGE:
      return "a header number is too large for 32 bits";
    case ICF_READ_PERIOD:
      return "PERIOD is below 1";
    case ICF_READ_ENTRIES:
      return "ENTRIES is below 1 or above 1000000";
    case ICF_READ_PARTIAL:
      return "the file ends inside a record";
    case ICF_READ_NUL:
      return "a key or stamp holds a NUL byte";
    case ICF_READ_TIME:
      return "the time is not a hexadecimal number of 32 bits";
    case ICF_READ_COUNT:
      return "the retry count is not a number of 32 bits";
    case ICF_READ_WORD:
      return "a key or stamp is longer than 12 characters";
    case ICF_READ_ALLOC:
      return "no memory for the table";
  }
  return "unknown fault";
}

// ---- Writing ------------------------------------------------------------

void icf_render_start(IcfRender *render, const IcfTable *table, int header) {
  render->table = table;
  render->next = header ? -1 : 0;
  render->count = icf_count(table);
}

size_t icf_render_next(IcfRender *render, char *buffer, size_t capacity) {
  const IcfTable *t = render->table;
  char *p = buffer;
  if (render->next < 0) {
    p = put_header(p, t);
    render->next = 0;
  }
  // Whole lines only, so that the reader of a chunk never sees half a line.
  const char *const end = buffer + capacity - Line_Bound;
  int32_t k = render->next;
  for (; k < render->count && p <= end; ++k)
    p = put_entry(p, icf_entry_at(t, k));
  render->next = k;
  return static_cast<size_t>(p - buffer);
}

size_t icf_render_header(const IcfTable *table, char *buffer) {
  return static_cast<size_t>(put_header(buffer, table) - buffer);
}

size_t icf_render_entry(const IcfEntry *entry, char *buffer) {
  return static_cast<size_t>(put_entry(buffer, entry) - buffer);
}

uint64_t icf_text_length(const IcfTable *t) {
  uint64_t length = 7 + int_width(t->period, 0) + 9 +
                    int_width(t->capacity, 0) + 9 + int_width(t->retries, 0) +
                    1;
  for (int32_t k = 0, n = icf_count(t); k < n; ++k) {
    const IcfEntry &e = *icf_entry_at(t, k);
    length += strnlen(e.key, 12) + strnlen(e.stamp, 12) + 14 +
              int_width(e.retry_count, 4);
  }
  return length;
}

char *icf_text_render(const IcfTable *table, size_t *length) {
  const uint64_t bound =
      Header_Bound + static_cast<uint64_t>(icf_count(table)) * Line_Bound;
  char *text = bound > UINT32_MAX ? nullptr
                                  : static_cast<char *>(std_malloc(
                                        nullptr, static_cast<uint32_t>(bound)));
  if (text == nullptr) return nullptr;
  IcfRender render;
  icf_render_start(&render, table, 1);
  *length = icf_render_next(&render, text, static_cast<size_t>(bound));
  return text;
}

int icf_header_write(FILE *stream, const IcfTable *table) {
  char text[Header_Bound];
  const size_t n = static_cast<size_t>(put_header(text, table) - text);
  return std::fwrite(text, 1, n, stream) == n && std::fflush(stream) == 0;
}

int icf_table_write(FILE *stream, const IcfTable *table) {
  char chunk[ICF_RENDER_CHUNK];
  IcfRender render;
  icf_render_start(&render, table, 0);
  bool ok = true;
  for (size_t n; ok && (n = icf_render_next(&render, chunk, sizeof chunk)) > 0;)
    ok = std::fwrite(chunk, 1, n, stream) == n;
  return std::fflush(stream) == 0 && ok;
}

int icf_header_read(FILE *stream, IcfTable *table) {
  const long start = std::ftell(stream);
  size_t size;
  char *text = read_rest(stream, &size);
  if (text == nullptr) return 0;
  IcfReader r;
  icf_reader_init(&r, text, size);
  const int ok = icf_read_header(&r, table);
  std_free(nullptr, text);
  // Leaves the stream at the first entry, as the scanning format would.
  return ok && start >= 0 &&
         std::fseek(stream, start + static_cast<long>(r.pos), SEEK_SET) == 0;
}

int icf_table_read(FILE *stream, IcfTable *table) {
  size_t size;
  char *text = read_rest(stream, &size);
  if (text == nullptr) return 0;
  IcfReader r;
  icf_reader_init(&r, text, size);
  const int ok = read_records(&r, table);
  std_free(nullptr, text);
  return ok;
}
