// The reader of the checkpoint file as it was when it took the text a
// character at a time from the stream: kept unchanged as the reference the
// differential harness holds the library's reader to.
#include "reference_reader.h"

#include <cstdint>
#include <cstdio>

#include "libicf.h"
#include "libstd.h"

namespace {

// The reader takes the file as fscanf would with the formats
// "PERIOD=%d\nENTRIES=%d\nRETRIES=%d\n" and "%12s %x %c %12s %d\n", but
// rejects numbers that do not fit their field instead of wrapping them.

bool is_space(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Leaves the stream at the next character that is not white space, or at
// the end with its end-of-file indicator set.
void skip_space(FILE *stream) {
  int c;
  while ((c = getc(stream)) != EOF && is_space(c)) {
  }
  if (c != EOF) ungetc(c, stream);
}

bool match(FILE *stream, const char *text) {
  for (; *text != '\0'; ++text) {
    int c = getc(stream);
    if (c != static_cast<unsigned char>(*text)) {
      if (c != EOF) ungetc(c, stream);
      return false;
    }
  }
  return true;
}

// At most 12 characters that are not white space, after white space. A NUL
// byte fails: the word would be written back cut at it, and a key cut to
// nothing would shift every field of its line on the next open.
bool read_word(FILE *stream, char (&word)[13]) {
  skip_space(stream);
  int n = 0;
  int c;
  while (n < 12 && (c = getc(stream)) != EOF) {
    if (is_space(c)) {
      ungetc(c, stream);
      break;
    }
    if (c == '\0') return false;
    word[n++] = static_cast<char>(c);
  }
  word[n] = '\0';
  return n > 0;
}

int digit_value(int c, int base) {
  int value = c >= '0' && c <= '9'   ? c - '0'
              : c >= 'a' && c <= 'z' ? c - 'a' + 10
              : c >= 'A' && c <= 'Z' ? c - 'A' + 10
                                     : 99;
  return value < base ? value : -1;
}

// A signed decimal number within int32_t.
bool read_int(FILE *stream, int32_t *out) {
  skip_space(stream);
  int c = getc(stream);
  bool negative = c == '-';
  if (c == '-' || c == '+') c = getc(stream);
  const uint64_t limit = negative ? 0x80000000u : 0x7fffffffu;
  uint64_t value = 0;
  bool any = false;
  for (int d; (d = digit_value(c, 10)) >= 0; c = getc(stream)) {
    any = true;
    if (value <= limit) value = value * 10 + d;
  }
  if (c != EOF) ungetc(c, stream);
  if (!any || value > limit) return false;
  *out = static_cast<int32_t>(negative ? -static_cast<int64_t>(value)
                                       : static_cast<int64_t>(value));
  return true;
}

// A hexadecimal number within 32 bits, optionally with a 0x prefix.
bool read_hex(FILE *stream, uint32_t *out) {
  skip_space(stream);
  int c = getc(stream);
  if (c == '+') c = getc(stream);
  if (c == '0') {
    int x = getc(stream);
    if (x == 'x' || x == 'X') {
      c = getc(stream);
      if (digit_value(c, 16) < 0) return false;
    } else if (x != EOF) {
      ungetc(x, stream);
    }
  }
  uint64_t value = 0;
  bool any = false;
  for (int d; (d = digit_value(c, 16)) >= 0; c = getc(stream)) {
    any = true;
    if (value <= UINT32_MAX) value = value * 16 + d;
  }
  if (c != EOF) ungetc(c, stream);
  if (!any || value > UINT32_MAX) return false;
  *out = static_cast<uint32_t>(value);
  return true;
}

}  // namespace

int ref_header_read(FILE *stream, IcfTable *table) {
  int32_t period, capacity, retries;
  if (!match(stream, "PERIOD=") || !read_int(stream, &period)) return 0;
  skip_space(stream);
  if (!match(stream, "ENTRIES=") || !read_int(stream, &capacity)) return 0;
  skip_space(stream);
  if (!match(stream, "RETRIES=") || !read_int(stream, &retries)) return 0;
  skip_space(stream);
  table->period = period;
  table->capacity = capacity;
  table->retries = retries;
  return 1;
}

int ref_table_read(FILE *stream, IcfTable *table) {
  while (!feof(stream)) {
    char key[13], stamp[13];
    uint32_t hex;
    int32_t retry_count;
    int status;
    if (!read_word(stream, key) || !read_hex(stream, &hex)) return 0;
    skip_space(stream);
    if ((status = getc(stream)) == EOF) return 0;
    if (!read_word(stream, stamp) || !read_int(stream, &retry_count)) return 0;
    skip_space(stream);
    time_t time = hex;
    // The key is what a user edits to ask for an interval again.
    if (status == 'a') icf_cnv_time(key, &time);
    IcfEntry *entry =
        icf_entry_new(table, time, key, stamp, status, retry_count);
    if (status != 's' && status != 'x')
      queue_insert(&table->pending, &entry->link);
  }
  return !ferror(stream);
}

int ref_open(IcfTable *table, const char *path) {
  *table = IcfTable{};
  queue_create(&table->pending, table, nullptr);
  FILE *stream = std::fopen(path, "r");
  if (stream == nullptr) return 0;
  bool ok = ref_header_read(stream, table) && table->period >= 1 &&
            table->capacity >= 1;
  // The ring as the library allocates it, so that both fail alike.
  if (ok) table->entries = icf_ring_new(table->capacity);
  ok = ok && table->entries != nullptr;
  table->first = table->last = -1;
  ok = ok && ref_table_read(stream, table);
  std::fclose(stream);
  if (!ok) {
    icf_ring_free(table->entries, table->capacity);
    table->entries = nullptr;
  }
  return ok;
}
