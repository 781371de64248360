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

// Output gathered into pieces of 64 KiB and written as each fills, so that
// neither the text nor the output is ever held whole.
struct Out {
  char buffer[64 * 1024];
  size_t used = 0;
  bool failed = false;

  void flush() {
    if (used > 0 && !failed) failed = fwrite(buffer, 1, used, stdout) != used;
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
      failed = failed || fwrite(p, 1, n, stdout) != n;
      return;
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
    const int b = status & 0xff;
    if (made[b]) return;
    made[b] = true;
    char word[64];
    snprintf(word, sizeof word, "%-7s", status_text(status).c_str());
    column[b] = word;
    json[b] = ", \"status\": " + quote(status_text(status)) +
              ", \"letter\": " + quote(std::string(1, char(status)));
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

char *put_int(char *p, int64_t v) {
  char digits[24];
  int n = 0;
  uint64_t u = v < 0 ? 0 - uint64_t(v) : uint64_t(v);
  do digits[n++] = char('0' + u % 10);
  while ((u /= 10) != 0);
  if (v < 0) *p++ = '-';
  while (n > 0) *p++ = digits[--n];
  return p;
}

// One entry line: "%-12s  %s  %-7s %4d  %s\n".
void text_entry(Out &out, IcfLocal *local, StatusTexts &texts,
                const IcfRecord &rec, time_t t) {
  char start[40];
  std::string slow;
  const std::string_view when = start_text(local, t, start, &slow);
  const size_t key = std::strlen(rec.key), stamp = std::strlen(rec.stamp);
  texts.make(rec.status);
  const std::string &status = texts.column[rec.status & 0xff];
  char *const begin = out.room(96 + when.size() + status.size());
  char *p = begin;
  std::memcpy(p, rec.key, key);
  p += key;
  for (size_t i = key; i < 12; ++i) *p++ = ' ';
  *p++ = ' ';
  *p++ = ' ';
  std::memcpy(p, when.data(), when.size());
  p += when.size();
  *p++ = ' ';
  *p++ = ' ';
  std::memcpy(p, status.data(), status.size());
  p += status.size();
  *p++ = ' ';
  char count[16];
  const char *end = put_int(count, rec.retry_count);
  for (ptrdiff_t i = end - count; i < 4; ++i) *p++ = ' ';
  std::memcpy(p, count, size_t(end - count));
  p += end - count;
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
  unsigned bad = static_cast<unsigned char>(w[12]);
  for (int i = 0; i < 12; ++i)
    bad |= static_cast<unsigned>(static_cast<unsigned char>(w[i]) - '0') > 9;
  return bad == 0;
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
  char start[40];
  const size_t n = icf_local_text(local, t, start);
  if (n == 0 || !twelve_digits(rec.key) || !twelve_digits(rec.stamp) ||
      !plain(start + 20))
    return false;
  texts.make(rec.status);
  const std::string &status = texts.json[rec.status & 0xff];
  char *const begin = out.room(160 + n + status.size());
  char *p = begin;
  p = first ? put_literal(p, "\n    {\"key\": \"")
            : put_literal(p, ",\n    {\"key\": \"");
  std::memcpy(p, rec.key, 12);
  p = put_literal(p + 12, "\", \"time\": ");
  p = put_int(p, t);
  p = put_literal(p, ", \"start\": \"");
  std::memcpy(p, start, n);
  p = put_literal(p + n, "\"");
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
int show(const char *path, std::string_view text, bool json, time_t now,
         const std::string &waits) {
  IcfReader in;
  icf_reader_init(&in, text.data(), text.size());
  IcfTable header{};
  IcfFailure refused = {ICF_FAULT_FORMAT, 0, 0, 0};
  if (!icf_read_header(&in, &header) || !icf_period_valid(header.period) ||
      !icf_entries_valid(header.capacity))
    return open_failure(refused, path);
  IcfLocal local;
  icf_local_init(&local);
  StatusTexts texts;
  Tally tally(header);
  const IcfReader first = in;
  static Out out;
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
  if (!out.failed && (in.fault != ICF_READ_OK || !tally.settle(first))) {
    out.flush();
    fflush(stdout);
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
  return finish_output();
}

}  // namespace

int cmd_show(const Settings &s, int, char **operands) {
  const bool json = s.json;
  time_t now = s.now;
  const char *path = operands[0];
  // Read under the lock, printed without it: a pipe read slowly must not
  // hold up the runs.
  Bytes text;
  std::string why;
  if (!inspect(path, &text, &why)) return cli_fail(Prog, "%s", why.c_str());
  UpstreamFiles ups;
  if (!ups.load(s.upstreams, path, &why))
    return cli_fail(Prog, "%s", why.c_str());
  if (now < 0) now = time(nullptr);
  return show(path, {text.data, text.size}, json, now,
              waits_shown(ups, now, json));
}
