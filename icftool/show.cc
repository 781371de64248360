// icftool show: a checkpoint file in readable form or as JSON.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include "libicf.h"
#include "tool.h"
#include "waits.h"

namespace {

// Where the records come from: the file under its look's lock while the
// output takes what is written at once, else a copy read whole, which the
// output may then take at its own pace.
struct Source {
  IcfLook *look = nullptr;  // null, or closed: the copy
  Bytes copy;
  Text text;
  IcfReader reader;

  // Lets the lock go, the file read whole first; the reader goes on over
  // the copy where it was. False when the copy could not be made: the
  // lock is then kept.
  bool let_go() {
    if (look == nullptr || look->fd < 0) return true;
    const uint64_t offset = text.offset(reader);
    const int32_t line = reader.line;
    if (!icf_look_copy(look, &copy.data, &copy.size)) return false;
    text = Text{{copy.data, copy.size}};
    text.read(&reader, offset, line);
    return true;
  }
};

// Output gathered into pieces of 64 KiB and written as each fills, so that
// neither the text nor the output is ever held whole. While the source
// holds the lock, `fd` is one that never waits (a regular file, the null
// device, or standard output opened anew without blocking); where it would
// wait, the source lets go of the lock first and the rest goes to standard
// output as to any.
struct Out {
  char buffer[64 * 1024];
  size_t used = 0;
  bool failed = false;
  int fd = STDOUT_FILENO;
  Source *source = nullptr;  // let go when fd would wait

  void write_all(const char *p, size_t n) {
    while (n > 0 && !failed) {
      const ssize_t w = write(fd, p, n);
      if (w > 0) {
        p += w;
        n -= size_t(w);
      } else if (w < 0 && errno == EINTR) {
        continue;
      } else if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) &&
                 fd != STDOUT_FILENO) {
        // Should no copy be had, the lock is kept: the output is still
        // whole.
        source->let_go();
        close(fd);
        fd = STDOUT_FILENO;
      } else {
        failed = true;
      }
    }
  }
  void flush() {
    write_all(buffer, used);
    used = 0;
  }
  // Room for n more bytes (n at most the buffer's size).
  char *room(size_t n) {
    if (used + n > sizeof buffer) flush();
    return buffer + used;
  }
  void put(const char *p, size_t n) {
    if (n > sizeof buffer) {
      flush();
      return write_all(p, n);
    }
    std::memcpy(room(n), p, n);
    used += n;
  }
  void put(std::string_view s) { put(s.data(), s.size()); }
  __attribute__((format(printf, 2, 3))) void print(const char *format, ...) {
    char line[512];
    va_list ap;
    va_start(ap, format);
    const int n = vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    if (n >= 0 && size_t(n) < sizeof line) return put(line, size_t(n));
    va_start(ap, format);
    std::string longer(size_t(n > 0 ? n : 0) + 1, '\0');
    vsnprintf(longer.data(), longer.size(), format, ap);
    va_end(ap);
    put(longer.data(), longer.size() - 1);
  }
};

// The texts that depend on the status byte alone, made once for each byte
// met: show's column, and the JSON status and letter members.
struct StatusTexts {
  std::string column[256], json[256];
  bool made[256] = {};

  void make(int status) {
    if (!made[status & 0xff]) learn(status);
  }
  void learn(int status) {
    const int b = status & 0xff;
    made[b] = true;
    char word[64];
    snprintf(word, sizeof word, "%-7s", status_text(status).c_str());
    column[b] = word;
    json[b] = ", \"status\": " + quote(status_text(status)) +
              ", \"letter\": " + quote(std::string(1, char(status)));
    // Room for the fixed-size copies of the entries.
    column[b].reserve(32);
    json[b].reserve(64);
  }
};

// Whether a word goes into JSON as it is: printable ASCII but for the quote
// and the backslash.
bool plain(const char *s) {
  for (; *s != '\0'; ++s)
    if (*s < 0x20 || *s >= 0x7f || *s == '"' || *s == '\\') return false;
  return true;
}

// The local start of an entry, as local_time writes it.
std::string_view start_text(IcfLocal *local, time_t t, char (&buffer)[40],
                            std::string *slow) {
  if (const size_t n = icf_local_text(local, t, buffer)) return {buffer, n};
  *slow = local_time(t);
  return *slow;
}

// The two digits of 0 to 99.
constexpr char Pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536"
    "37383940414243444546474849505152535455565758596061626364656667686970717273"
    "7475767778798081828384858687888990919293949596979899";

// v in decimal at p, which has room for 24 bytes, two digits at a time.
char *put_int(char *p, int64_t v) {
  if (v >= 0 && v < 10) {
    *p = char('0' + v);
    return p + 1;
  }
  char digits[48];
  // Written to end halfway, so that a copy of 24 bytes from the first
  // digit stays within the array.
  char *const end = digits + 24, *q = end;
  uint64_t u = v < 0 ? 0 - uint64_t(v) : uint64_t(v);
  for (; u > UINT32_MAX; u /= 100) {
    q -= 2;
    std::memcpy(q, Pairs + u % 100 * 2, 2);
  }
  // Times fit 32 bits, whose divisions cost less.
  for (; u >= 100; u = uint32_t(u) / 100) {
    q -= 2;
    std::memcpy(q, Pairs + uint32_t(u) % 100 * 2, 2);
  }
  if (u >= 10) {
    q -= 2;
    std::memcpy(q, Pairs + u * 2, 2);
  } else {
    *--q = char('0' + u);
  }
  if (v < 0) *p++ = '-';
  // A whole 24 bytes, of which those after the number are written over.
  std::memcpy(p, q, 24);
  return p + (end - q);
}

// An entry's time as put_int writes it: from 2001 to 2106 ten digits, of
// which the first six change only every 10,000 seconds, and the entries of
// a file are a period apart.
char *put_time(char *p, time_t t) {
  static uint32_t last_high = 0;
  static char high_digits[8];
  if (t < 1000000000 || t > UINT32_MAX) return put_int(p, t);
  const uint32_t u = uint32_t(t), high = u / 10000, low = u - high * 10000;
  if (high != last_high) {
    last_high = high;
    std::memcpy(high_digits, Pairs + high / 10000 * 2, 2);
    std::memcpy(high_digits + 2, Pairs + high / 100 % 100 * 2, 2);
    std::memcpy(high_digits + 4, Pairs + high % 100 * 2, 2);
  }
  std::memcpy(p, high_digits, 8);
  std::memcpy(p + 6, Pairs + low / 100 * 2, 2);
  std::memcpy(p + 8, Pairs + low % 100 * 2, 2);
  return p + 10;
}

// The length of a key or stamp, which is nearly always 12.
size_t word_length(const char (&word)[13]) {
  return word[11] != '\0' ? 12 : std::strlen(word);
}

// The local start of an entry at p, which has room for 40 bytes: written
// in place, as reading it back from elsewhere costs more than writing it.
size_t put_start(char *p, IcfLocal *local, time_t t) {
  if (const size_t n = icf_local_text(local, t, p)) return n;
  const std::string slow = local_time(t);
  std::memcpy(p, slow.data(), slow.size());
  return slow.size();
}

// One entry line: "%-12s  %s  %-7s %4d  %s\n".
void text_entry(Out &out, IcfLocal *local, StatusTexts &texts,
                const IcfRecord &rec, time_t t) {
  const size_t key = word_length(rec.key), stamp = word_length(rec.stamp);
  texts.make(rec.status);
  const std::string &status = texts.column[rec.status & 0xff];
  char *const begin = out.room(96 + 40 + 16 + 24 + status.size());
  char *p = begin;
  std::memcpy(p, rec.key, key);
  p += key;
  for (size_t i = key; i < 12; ++i) *p++ = ' ';
  *p++ = ' ';
  *p++ = ' ';
  p += put_start(p, local, t);
  *p++ = ' ';
  *p++ = ' ';
  // A fixed size where it fits, of which the bytes after the text are
  // written over: a call of memcpy costs more than the copy.
  if (status.size() <= 16)
    std::memcpy(p, status.data(), 16);
  else
    std::memcpy(p, status.data(), status.size());
  p += status.size();
  *p++ = ' ';
  if (rec.retry_count >= 0 && rec.retry_count < 10) {
    std::memcpy(p, "   ", 3);
    p[3] = char('0' + rec.retry_count);
    p += 4;
  } else {
    char count[32];
    const char *end = put_int(count, rec.retry_count);
    for (ptrdiff_t i = end - count; i < 4; ++i) *p++ = ' ';
    std::memcpy(p, count, size_t(end - count));
    p += end - count;
  }
  *p++ = ' ';
  *p++ = ' ';
  std::memcpy(p, rec.stamp, stamp);
  p += stamp;
  *p++ = '\n';
  out.used += size_t(p - begin);
}

// A JSON string of a word, quoted at its cost only when it needs it.
void put_quoted(Out &out, const char *word) {
  if (!plain(word)) return out.put(quote(word));
  const size_t n = std::strlen(word);
  char *p = out.room(n + 2);
  *p = '"';
  std::memcpy(p + 1, word, n);
  p[n + 1] = '"';
  out.used += n + 2;
}

void json_interval(Out &out, IcfLocal *local, const char *key, time_t t) {
  out.put("\"key\": ");
  put_quoted(out, key);
  char number[32];
  out.put(", \"time\": ");
  out.put(number, size_t(put_int(number, t) - number));
  out.put(", \"start\": ");
  char start[40];
  std::string slow;
  const std::string_view when = start_text(local, t, start, &slow);
  if (slow.empty()) {
    put_quoted(out, start);
  } else {
    out.put(quote(when));
  }
}

// A key or stamp as the programs write it: twelve digits.
bool twelve_digits(const char *w) {
  uint64_t a;
  uint32_t b;
  return icf_twelve_digit_words(w, &a, &b);
}

template <size_t N>
char *put_literal(char *p, const char (&text)[N]) {
  std::memcpy(p, text, N - 1);
  return p + N - 1;
}

// An entry of the usual kind, written at once: twelve-digit key and stamp,
// a start that needs no escapes. False for any other.
bool json_plain_entry(Out &out, IcfLocal *local, StatusTexts &texts,
                      const IcfRecord &rec, time_t t, bool first) {
  if (!twelve_digits(rec.key) || !twelve_digits(rec.stamp)) return false;
  texts.make(rec.status);
  const std::string &status = texts.json[rec.status & 0xff];
  // Written in place, and only counted once whole.
  char *const begin = out.room(160 + 40 + 32 + 40 + status.size());
  char *p = begin;
  p = first ? put_literal(p, "\n    {\"key\": \"")
            : put_literal(p, ",\n    {\"key\": \"");
  std::memcpy(p, rec.key, 12);
  p = put_literal(p + 12, "\", \"time\": ");
  p = put_time(p, t);
  p = put_literal(p, ", \"start\": \"");
  // The zone's abbreviation, met again and again, is judged once.
  static char plain_zone[16];
  const size_t n = icf_local_text(local, t, p);
  if (n == 0 || (std::memcmp(plain_zone, p + 20, 16) != 0 &&
                 (!plain(p + 20) || !std::memcpy(plain_zone, p + 20, 16))))
    return false;
  p = put_literal(p + n, "\"");
  if (status.size() <= 32)
    std::memcpy(p, status.data(), 32);
  else
    std::memcpy(p, status.data(), status.size());
  p = put_literal(p + status.size(), ", \"retry_count\": ");
  p = put_int(p, rec.retry_count);
  p = put_literal(p, ", \"stamp\": \"");
  std::memcpy(p, rec.stamp, 12);
  p = put_literal(p + 12, "\"}");
  out.used += size_t(p - begin);
  return true;
}

void json_entry(Out &out, IcfLocal *local, StatusTexts &texts,
                const IcfRecord &rec, time_t t, bool first) {
  if (json_plain_entry(out, local, texts, rec, t, first)) return;
  out.put(first ? "\n    {" : ",\n    {");
  json_interval(out, local, rec.key, t);
  texts.make(rec.status);
  out.put(texts.json[rec.status & 0xff]);
  char number[32];
  out.put(", \"retry_count\": ");
  out.put(number, size_t(put_int(number, rec.retry_count) - number));
  out.put(", \"stamp\": ");
  put_quoted(out, rec.stamp);
  out.put("}");
}

void text_summary(Out &out, const Tally &t, const IcfDue &due, time_t now) {
  out.print("PERIOD=%d ENTRIES=%d RETRIES=%d\n", t.header.period,
            t.header.capacity, t.header.retries);
  out.print("%d %s", t.total, t.total == 1 ? "entry" : "entries");
  for (int i = 0; i <= Unknown_Status; ++i)
    if (i < Unknown_Status || t.by_status[i] > 0)
      out.print("%s %d %s", i == 0 ? ":" : ",", t.by_status[i],
                i < Unknown_Status ? Status_Words[i] : "unknown");
  if (t.pending)
    out.print("\noldest pending: %s  %s\n", t.oldest_key,
              local_time(t.oldest_pending).c_str());
  else
    out.print("\noldest pending: none\n");
  out.print("due: %lld interval%s, lag %lld s\n", (long long)due.intervals,
            due.intervals == 1 ? "" : "s", (long long)lag_of(due, now));
  out.print("last change: %s\n", due.last_change >= 0
                                     ? local_time(due.last_change).c_str()
                                     : "none");
}

void json_summary(Out &out, IcfLocal *local, const Tally &t, const IcfDue &due,
                  time_t now, const std::string &waits) {
  out.put(t.total > 0 ? "\n  ],\n" : "],\n");
  std::string s = "  \"count\": {\"total\": " + std::to_string(t.total);
  for (int i = 0; i <= Unknown_Status; ++i)
    s += ", " + quote(i < Unknown_Status ? Status_Words[i] : "unknown") + ": " +
         std::to_string(t.by_status[i]);
  s += "},\n";
  s += "  \"oldest_pending\": ";
  out.put(s);
  if (t.pending) {
    out.put("{");
    json_interval(out, local, t.oldest_key, t.oldest_pending);
    out.put("}");
  } else {
    out.put("null");
  }
  out.put(",\n  \"due_intervals\": " + std::to_string(due.intervals) +
          ", \"lag\": " + std::to_string(lag_of(due, now)) +
          ", \"last_change\": " +
          (due.last_change >= 0 ? std::to_string(due.last_change) : "null") +
          waits + "\n}\n");
}

// Prints the file as the reader reads it, record by record; the figures
// after the entries are those of the table the programs would load. A
// text that turns out unreadable half-way leaves what was printed of it.
int show(const char *path, Source &source, Out &out, bool json, time_t now,
         const std::string &waits) {
  IcfReader &in = source.reader;
  source.text.read(&in);
  IcfTable header{};
  IcfFailure refused = {ICF_FAULT_FORMAT, 0, 0, 0};
  if (!icf_read_header(&in, &header) || !icf_period_valid(header.period) ||
      !icf_entries_valid(header.capacity))
    return open_failure(refused, path);
  IcfLocal local;
  icf_local_init(&local);
  StatusTexts texts;
  Tally tally(header);
  const uint64_t first = source.text.offset(in);
  const int32_t first_line = in.line;
  if (json)
    out.put("{\n  \"file\": " + quote(name_text(path)) + ",\n" +
            "  \"header\": {\"PERIOD\": " + std::to_string(header.period) +
            ", \"ENTRIES\": " + std::to_string(header.capacity) +
            ", \"RETRIES\": " + std::to_string(header.retries) + "},\n" +
            "  \"entries\": [");
  for (IcfRecord rec; !out.failed && icf_read_record(&in, &rec);) {
    const time_t t = icf_record_time(&rec);
    if (json)
      json_entry(out, &local, texts, rec, t, tally.records == 0);
    else
      text_entry(out, &local, texts, rec, t);
    tally.add(rec, t);
  }
  // A read that failed ends the text early: nothing it would mislead.
  if (const std::string failed = look_failure(*source.look, path);
      !failed.empty()) {
    out.flush();
    return cli_fail(Prog, "%s", failed.c_str());
  }
  if (!out.failed && (in.fault != ICF_READ_OK ||
                      !tally.settle(source.text, first, first_line))) {
    out.flush();
    return open_failure(refused, path);
  }
  IcfDue due;
  tally.due(now, &due);
  if (json) {
    json_summary(out, &local, tally, due, now, waits);
  } else {
    text_summary(out, tally, due, now);
    out.put(waits);
  }
  out.flush();
  return out.failed ? cli_fail(Prog, "%s", Cli_Output_Failure) : 0;
}

// A descriptor for standard output that never waits for its reader, or -1
// when there is none to be had: a regular file or the null device as it is,
// a pipe or terminal opened anew without blocking (its own open file, so
// that nobody else's output is made non-blocking).
int output_without_wait() {
  struct stat out, null;
  if (fstat(STDOUT_FILENO, &out) != 0) return -1;
  if (S_ISREG(out.st_mode) ||
      (S_ISCHR(out.st_mode) && stat("/dev/null", &null) == 0 &&
       S_ISCHR(null.st_mode) && out.st_rdev == null.st_rdev))
    return STDOUT_FILENO;
  if (!S_ISFIFO(out.st_mode) && !isatty(STDOUT_FILENO)) return -1;
  return open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

}  // namespace

int cmd_show(const Settings &s, int, char **operands) {
  const bool json = s.json;
  time_t now = s.now;
  const char *path = operands[0];
  // Read under the lock while the output takes what is written at once; a
  // pipe read slowly must not hold up the runs.
  static IcfLook file;
  static Out out;
  static Source source;
  std::string why;
  if (!look(path, &file, &why)) return cli_fail(Prog, "%s", why.c_str());
  UpstreamFiles ups;
  if (!ups.load(s.upstreams, path, &why)) {
    icf_look_close(&file);
    return cli_fail(Prog, "%s", why.c_str());
  }
  if (now < 0) now = time(nullptr);
  const std::string waits = waits_shown(ups, now, json);
  source.look = &file;
  source.text = Text{{}, &file};
  out.source = &source;
  out.fd = output_without_wait();
  int status = 0;
  if (out.fd < 0) {
    out.fd = STDOUT_FILENO;
    if (!source.let_go())
      status =
          cli_fail(Prog, "%s",
                   cli_failure_text({ICF_FAULT_SYSTEM, 0, 0, errno}, path, true)
                       .c_str());
  }
  if (status == 0) status = show(path, source, out, json, now, waits);
  if (out.fd != STDOUT_FILENO) close(out.fd);
  icf_look_close(&file);
  return status;
}
