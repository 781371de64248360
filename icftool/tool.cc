// What the icftool commands share.
#include "tool.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "cli.h"
#include "libstd.h"

const char *Prog = "icftool";

void usage() {
  fprintf(stderr,
          "usage: %s create [-f] file period entries retries\n"
          "       %s show [-j] [-t now] file\n"
          "       %s check [-l lag] [-x failed] [-t now] file\n"
          "       %s metrics [-o out] [-t now] file...\n"
          "       %s mark [-n] [-o status] file from to status\n"
          "       %s edit file\n"
          "       %s run [-dtxTkmw value] file -- command [arg ...]\n"
          "       %s -h\n",
          Prog, Prog, Prog, Prog, Prog, Prog, Prog, Prog);
  fflush(stderr);
}

int fail(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  fprintf(stderr, "%s: ", Prog);
  vfprintf(stderr, format, ap);
  fputc('\n', stderr);
  va_end(ap);
  return 1;
}

int open_failure(const IcfFile &file, const char *path) {
  switch (file.fault) {
    case ICF_FAULT_BUSY:
      return fail("Checkpoint file is busy: %s", path);
    case ICF_FAULT_SYSTEM:
      return fail("Cannot open checkpoint file: %s: %s", path,
                  strerror(file.fault_errno));
    default:
      return fail("Invalid checkpoint file: %s", path);
  }
}

int finish_output() {
  return cli_flush_output() ? 0 : fail("Cannot write output");
}

// Parses -h and the command's own flag `letter` (0: none) from argv, whose
// first word is the command. Returns kGoOn with optind at the first operand,
// or the exit status.
int parse_flags(int argc, char **argv, char letter, bool *flag) {
  const char optstring[] = {'+', 'h', letter, '\0'};
  opterr = 0;
  optind = 0;  // glibc: start afresh, also for a second argument vector
  for (int c; (c = getopt(argc, argv, optstring)) != -1;) {
    if (c == 'h') {
      usage();
      return 0;
    }
    if (letter == 0 || c != letter)
      return fail("Invalid command-line option \"%c\"", optopt);
    *flag = true;
  }
  return kGoOn;
}

// A whole decimal word that fits 32 bits and is at least `low`.
bool number(const char *text, int32_t low, int32_t *value) {
  const char *end = text + strlen(text);
  auto [stop, error] = std::from_chars(text, end, *value);
  return error == std::errc() && stop == end && stop != text && *value >= low;
}

// The interval key that the programs write for time t.
std::string key_of(time_t t) {
  struct tm tm;
  char buf[32];
  if (localtime_r(&t, &tm) == nullptr) return "";
  snprintf(buf, sizeof buf, "%02d%02d%02d%02d%02d%02d", tm.tm_year % 100,
           tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

std::string local_time(time_t t) {
  struct tm tm;
  char buf[64];
  if (localtime_r(&t, &tm) == nullptr ||
      strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S %Z", &tm) == 0)
    return "?";
  return buf;
}

const char *const kWords[] = {"new", "done", "retry", "again", "failed"};

// The index of a status letter in kLetters, or kUnknown.
int status_index(int status) {
  const char *at = status != 0 ? strchr(kLetters, status) : nullptr;
  return at != nullptr ? int(at - kLetters) : kUnknown;
}

// A status letter in quotes, with an unprintable byte in hexadecimal.
std::string letter_text(int status) {
  char buf[16];
  if (status > ' ' && status < 0x7f)
    snprintf(buf, sizeof buf, "'%c'", status);
  else
    snprintf(buf, sizeof buf, "'\\x%02x'", status & 0xff);
  return buf;
}

std::string status_text(int status) {
  int i = status_index(status);
  return i != kUnknown ? kWords[i] : "unknown " + letter_text(status);
}

namespace {

// Length of the valid UTF-8 sequence at s, or 0.
size_t utf8_length(std::string_view s) {
  auto byte = [&](size_t i) -> unsigned { return (unsigned char)s[i]; };
  unsigned lead = byte(0);
  size_t n = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : 2;
  if (lead < 0xc2 || lead > 0xf4 || s.size() < n) return 0;
  unsigned low = lead == 0xe0 ? 0xa0 : lead == 0xf0 ? 0x90 : 0x80;
  unsigned high = lead == 0xed ? 0x9f : lead == 0xf4 ? 0x8f : 0xbf;
  if (byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < n; ++i)
    if (byte(i) < 0x80 || byte(i) > 0xbf) return 0;
  return n;
}

}  // namespace

// A JSON string. Bytes that are not UTF-8 become the code points of the
// same value, so the document stays valid whatever a file holds.
std::string quote(std::string_view s) {
  std::string out = "\"";
  for (size_t i = 0; i < s.size();) {
    unsigned char c = s[i];
    size_t n = c >= 0x80 ? utf8_length(s.substr(i)) : 0;
    if (n > 0) {
      out += s.substr(i, n);
      i += n;
      continue;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20 || c >= 0x7f) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += char(c);
    }
    ++i;
  }
  return out + '"';
}

std::string name_text(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = s[i];
    const size_t n = c >= 0x80 ? utf8_length(s.substr(i)) : 1;
    if (n > 0) {
      out += c == '\\' ? std::string_view("\\\\") : s.substr(i, n);
      i += n;
      continue;
    }
    char buf[8];
    snprintf(buf, sizeof buf, "\\x%02x", c);
    out += buf;
    ++i;
  }
  return out;
}

Counts count(const IcfTable &table) {
  Counts c{};
  if (table.first < 0) return c;
  for (int32_t i = table.first;; i = (i + 1) % table.capacity) {
    const IcfEntry &e = table.entries[i];
    ++c.total;
    ++c.by_status[status_index(e.status)];
    if (is_pending(e.status) && c.oldest_pending == nullptr)
      c.oldest_pending = &e;
    if (i == table.last) break;
  }
  return c;
}

bool read_shared(const char *path, std::string *text, std::string *why) {
  int fd;
  switch (icf_lock_open(path, 0, &fd)) {
    case ICF_ERR_NONE:
      break;
    case ICF_ERR_BUSY:
      *why = std::string("Checkpoint file is busy: ") + path;
      return false;
    default:
      *why = std::string("Cannot open checkpoint file: ") + path + ": " +
             strerror(errno);
      return false;
  }
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) text->append(buf, n);
  if (n < 0)
    *why = std::string("Cannot read checkpoint file: ") + path + ": " +
           strerror(errno);
  close(fd);
  return n == 0;
}

bool load_text(std::string_view text, IcfFile *file) {
  memset(file, 0, sizeof *file);
  IcfTable *table = &file->table;
  queue_create(&table->pending, table, nullptr);
  std::string copy(text);
  // fmemopen refuses an empty buffer; a file without a header fails anyway.
  FILE *stream =
      copy.empty() ? nullptr : fmemopen(copy.data(), copy.size(), "r");
  bool ok = stream != nullptr && icf_header_read(stream, table) &&
            table->period >= 1 && table->capacity >= 1;
  if (ok) {
    table->entries = icf_ring_new(table->capacity);
    table->first = table->last = -1;
    ok = table->entries != nullptr && icf_table_read(stream, table);
  }
  if (stream != nullptr) fclose(stream);
  if (!ok) icf_close(file);
  return ok;
}

time_t interval_end(const IcfTable &table, time_t start) {
  const time_t next = icf_next_start(&table, start);
  return next >= 0 ? next : time_t(start + table.period);
}

bool key_option(const char *text, time_t *t) {
  // The programs read any text they cannot read as the clock: here a typo
  // would stretch a range to now, so only keys and their leading fields
  // that name a time on the local clock are taken.
  const size_t n = strlen(text);
  return n >= 2 && n <= 12 && n % 2 == 0 && strspn(text, "0123456789") == n &&
         icf_cnv_key(text, t) == nullptr;
}

std::string entries_text(int n) {
  return std::to_string(n) + (n == 1 ? " entry" : " entries");
}

int64_t lag_of(const IcfDue &due, time_t now) {
  return due.oldest_end >= 0 && now > due.oldest_end
             ? int64_t(now) - due.oldest_end
             : 0;
}
