// Interval keys, the ring append, and the text of the checkpoint file.

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "libicf.h"
#include "libstd.h"

namespace {

const char Invalid_Value[] = "invalid interval value";

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

IcfEntry *icf_entry_new(IcfTable *table, time_t time, const char *key,
                        const char *stamp, int status, int32_t retry_count) {
  table->last = (table->last + 1) % table->capacity;
  if (table->last == table->first)
    table->first = (table->first + 1) % table->capacity;
  if (table->first < 0) table->first = 0;
  IcfEntry *entry = &table->entries[table->last];
  if (entry->link.queue != nullptr) {
    if (table->cursor == entry)
      table->cursor =
          static_cast<IcfEntry *>(queue_data(queue_prev(&entry->link)));
    queue_remove(&entry->link);
  }
  std::memset(entry, 0, sizeof *entry);
  entry->time = time;
  entry->status = status;
  entry->retry_count = retry_count;
  std_strcpy(entry->key, sizeof entry->key, key);
  std_strcpy(entry->stamp, sizeof entry->stamp, stamp);
  queue_init(&entry->link, entry);
  return entry;
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

int icf_cnv_time_str(time_t time, char *buffer) {
  return std_time_format(&time, nullptr, nullptr, buffer, 13, 1) == 12;
}

int icf_header_write(FILE *stream, const IcfTable *table) {
  int written = fprintf(stream, "PERIOD=%d\nENTRIES=%d\nRETRIES=%d\n",
                        table->period, table->capacity, table->retries);
  return fflush(stream) == 0 && written >= 0;
}

int icf_header_read(FILE *stream, IcfTable *table) {
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

int icf_table_write(FILE *stream, const IcfTable *table) {
  sigset_t all, previous;
  sigfillset(&all);
  sigprocmask(SIG_SETMASK, &all, &previous);
  int result = 1;
  for (int32_t i = table->first; table->last >= 0;
       i = (i + 1) % table->capacity) {
    const IcfEntry *e = &table->entries[i];
    if (fprintf(stream, "%s %8x %c %s %04d\n", e->key,
                static_cast<unsigned>(static_cast<uint32_t>(e->time)),
                e->status, e->stamp, e->retry_count) < 0)
      result = 0;
    if (i == table->last) break;
  }
  if (fflush(stream) != 0) result = 0;
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  return result;
}

int icf_table_read(FILE *stream, IcfTable *table) {
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
