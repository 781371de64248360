// icftool: starts, shows and checks interval checkpoint files for the
// people who run the jobs. It reads files the way quenlor and corvane do
// and never writes one except on `create`.
#include <fcntl.h>
#include <sys/file.h>
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

namespace {

const char *Prog = "icftool";
constexpr int kGoOn = -1;

void usage() {
  fprintf(stderr,
          "usage: %s create [-f] file period entries retries\n"
          "       %s show [-j] file\n"
          "       %s check file\n"
          "       %s -h\n",
          Prog, Prog, Prog, Prog);
  fflush(stderr);
}

__attribute__((format(printf, 1, 2))) int fail(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  fprintf(stderr, "%s: ", Prog);
  vfprintf(stderr, format, ap);
  fputc('\n', stderr);
  va_end(ap);
  return 1;
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

// The status letters and the words show uses for them.
constexpr char kLetters[] = "nsrax";
const char *const kWords[] = {"new", "done", "retry", "again", "failed"};
constexpr int kUnknown = 5;

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

bool is_pending(int status) { return status != 's' && status != 'x'; }

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

int create(int argc, char **argv) {
  bool force = false;
  if (int rc = parse_flags(argc, argv, 'f', &force); rc != kGoOn) return rc;
  if (argc - optind != 4)
    return fail("Missing or extra arguments on command line");
  const char *path = argv[optind];
  const char *const *text = argv + optind + 1;
  int32_t period, entries, retries;
  if (!number(text[0], 1, &period))
    return fail("Invalid period: %s (seconds, 1 or more)", text[0]);
  if (!number(text[1], 1, &entries))
    return fail("Invalid entries: %s (1 or more)", text[1]);
  if (!number(text[2], 0, &retries))
    return fail("Invalid retries: %s (0 or more)", text[2]);
  // Without -f the file must not exist; creating it exclusively settles
  // that without a window in which another file could appear.
  if (!force) {
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd < 0 && errno == EEXIST)
      return fail("File exists: %s (-f replaces it)", path);
    if (fd < 0)
      return fail("Cannot create checkpoint file: %s: %s", path,
                  strerror(errno));
    close(fd);
  }
  errno = 0;
  if (!icf_create(path, period, entries, retries)) {
    int error = errno;
    if (!force) unlink(path);
    return fail("Cannot create checkpoint file: %s%s%s", path,
                error != 0 ? ": " : "", error != 0 ? strerror(error) : "");
  }
  return 0;
}

struct Counts {
  int total;
  int by_status[kUnknown + 1];  // in the order of kLetters, then unknown
  const IcfEntry *oldest_pending;
};

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

void show_text(const IcfTable &table) {
  const Counts c = count(table);
  const IcfEntry *oldest = c.oldest_pending;
  for (int32_t k = 0; k < c.total; ++k) {
    const IcfEntry &e = table.entries[(table.first + k) % table.capacity];
    printf("%-12s  %s  %-7s %4d  %s\n", e.key, local_time(e.time).c_str(),
           status_text(e.status).c_str(), e.retry_count, e.stamp);
  }
  printf("PERIOD=%d ENTRIES=%d RETRIES=%d\n", table.period, table.capacity,
         table.retries);
  printf("%d %s", c.total, c.total == 1 ? "entry" : "entries");
  for (int i = 0; i <= kUnknown; ++i)
    if (i < kUnknown || c.by_status[i] > 0)
      printf("%s %d %s", i == 0 ? ":" : ",", c.by_status[i],
             i < kUnknown ? kWords[i] : "unknown");
  if (oldest != nullptr)
    printf("\noldest pending: %s  %s\n", oldest->key,
           local_time(oldest->time).c_str());
  else
    printf("\noldest pending: none\n");
}

std::string json_interval(const IcfEntry &e) {
  return "\"key\": " + quote(e.key) + ", \"time\": " + std::to_string(e.time) +
         ", \"start\": " + quote(local_time(e.time));
}

void show_json(const char *path, const IcfTable &table) {
  const Counts c = count(table);
  const IcfEntry *oldest = c.oldest_pending;
  std::string out = "{\n  \"file\": " + quote(path) + ",\n";
  out += "  \"header\": {\"PERIOD\": " + std::to_string(table.period) +
         ", \"ENTRIES\": " + std::to_string(table.capacity) +
         ", \"RETRIES\": " + std::to_string(table.retries) + "},\n";
  out += "  \"entries\": [";
  for (int32_t k = 0; k < c.total; ++k) {
    const IcfEntry &e = table.entries[(table.first + k) % table.capacity];
    std::string letter(1, char(e.status));
    out += k == 0 ? "\n" : ",\n";
    out += "    {" + json_interval(e) +
           ", \"status\": " + quote(status_text(e.status)) +
           ", \"letter\": " + quote(letter) +
           ", \"retry_count\": " + std::to_string(e.retry_count) +
           ", \"stamp\": " + quote(e.stamp) + "}";
  }
  out += c.total > 0 ? "\n  ],\n" : "],\n";
  out += "  \"count\": {\"total\": " + std::to_string(c.total);
  for (int i = 0; i <= kUnknown; ++i)
    out += ", " + quote(i < kUnknown ? kWords[i] : "unknown") + ": " +
           std::to_string(c.by_status[i]);
  out += "},\n";
  out += "  \"oldest_pending\": " +
         (oldest != nullptr ? "{" + json_interval(*oldest) + "}" : "null") +
         "\n}\n";
  fputs(out.c_str(), stdout);
}

int show(int argc, char **argv) {
  bool json = false;
  if (int rc = parse_flags(argc, argv, 'j', &json); rc != kGoOn) return rc;
  if (argc - optind != 1)
    return fail("Missing or extra arguments on command line");
  const char *path = argv[optind];
  IcfFile file;
  if (!icf_open_readonly(&file, "ICFTOOL", path)) {
    struct stat st;
    if (file.error == ICF_ERR_BUSY)
      return fail("Checkpoint file is busy: %s", path);
    if (stat(path, &st) != 0)
      return fail("Cannot open checkpoint file: %s: %s", path, strerror(errno));
    return fail("Invalid checkpoint file: %s", path);
  }
  if (json)
    show_json(path, file.table);
  else
    show_text(file.table);
  icf_close(&file);
  if (fflush(stdout) != 0 || ferror(stdout))
    return fail("Cannot write the output: %s", strerror(errno));
  return 0;
}

// ---- check -------------------------------------------------------------

bool is_space(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');  // the C locale's isspace
}

// Walks the file's text as the library's scanning formats do (white space
// between fields, also none or several lines, carries no meaning) and
// keeps the line number for the report.
struct Scanner {
  std::string_view text;
  size_t pos = 0;
  int line = 1;

  bool at_end() const { return pos >= text.size(); }
  void skip_space() {
    for (; !at_end() && is_space(text[pos]); ++pos)
      if (text[pos] == '\n') ++line;
  }
  bool literal(std::string_view s) {
    if (text.substr(pos, s.size()) != s) return false;
    pos += s.size();
    return true;
  }
  // As %d: white space, an optional sign, digits. *value is clamped so
  // that a number too large for 32 bits stays too large.
  bool decimal(int64_t *value) {
    skip_space();
    size_t start = pos;
    if (!at_end() && (text[pos] == '-' || text[pos] == '+')) ++pos;
    size_t digits = pos;
    int64_t v = 0;
    for (; !at_end() && text[pos] >= '0' && text[pos] <= '9'; ++pos)
      v = v > INT64_C(1) << 40 ? v : v * 10 + (text[pos] - '0');
    if (pos == digits) return false;
    *value = text[start] == '-' ? -v : v;
    return true;
  }
  std::string_view word() {
    skip_space();
    size_t start = pos;
    while (!at_end() && !is_space(text[pos])) ++pos;
    return text.substr(start, pos - start);
  }
};

bool fits32(int64_t v) { return v >= INT32_MIN && v <= INT32_MAX; }

// Prints the findings of one check run and counts them.
struct Report {
  const char *path;
  int problems = 0;

  __attribute__((format(printf, 3, 4))) void operator()(int line,
                                                        const char *format,
                                                        ...) {
    va_list ap;
    va_start(ap, format);
    if (line > 0)
      printf("%s:%d: ", path, line);
    else
      printf("%s: ", path);
    vprintf(format, ap);
    putchar('\n');
    va_end(ap);
    ++problems;
  }
};

// Opens `path` under the shared lock the programs respect, waiting as long
// as they do, so that check never reads a half-written file. 0 or the exit
// status.
int open_locked(const char *path, int *fd_out) {
  switch (icf_lock_open(path, 0, fd_out)) {
    case ICF_ERR_NONE:
      return 0;
    case ICF_ERR_BUSY:
      return fail("Checkpoint file is busy: %s", path);
    default:
      return fail("Cannot open checkpoint file: %s: %s", path, strerror(errno));
  }
}

// Reads the whole file under the lock. 0 or the exit status.
int read_locked(const char *path, std::string *text) {
  int fd;
  if (int rc = open_locked(path, &fd); rc != 0) return rc;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) text->append(buf, n);
  int error = errno;
  close(fd);
  if (n < 0)
    return fail("Cannot read checkpoint file: %s: %s", path, strerror(error));
  return 0;
}

// Checks the three header numbers; false when the header cannot be read.
bool check_header(Scanner &in, Report &report, int64_t header[3],
                  bool valid[3]) {
  static const char *const kName[] = {"PERIOD=", "ENTRIES=", "RETRIES="};
  static const int64_t kLow[] = {1, 1, 0};
  for (int i = 0; i < 3; ++i) {
    if (i > 0) in.skip_space();
    int line = in.line;
    if (!in.literal(kName[i]) || !in.decimal(&header[i])) {
      report(line,
             "the header is not the three lines PERIOD=, ENTRIES= and "
             "RETRIES=, each with a number; the programs cannot read the "
             "file");
      return false;
    }
    valid[i] = fits32(header[i]) && header[i] >= kLow[i];
    if (!fits32(header[i]))
      report(line, "%.*s is too large for a 32-bit number",
             int(strlen(kName[i]) - 1), kName[i]);
    else if (!valid[i])
      report(line, "%s%lld is below %lld", kName[i], (long long)header[i],
             (long long)kLow[i]);
  }
  return true;
}

// One record's words, checked for what the scanning format can take.
// Returns the reason when the record cannot be read, else null.
const char *malformed(std::string_view word[5], uint64_t *hex, int64_t *count) {
  if (word[0].size() > 12) return "the key is longer than 12 characters";
  std::string_view digits = word[1];
  if (digits.size() > 2 && digits[0] == '0' &&
      (digits[1] == 'x' || digits[1] == 'X'))
    digits.remove_prefix(2);
  auto [stop, error] =
      std::from_chars(digits.data(), digits.data() + digits.size(), *hex, 16);
  if (stop != digits.data() + digits.size() || digits.empty())
    return "the time is not a hexadecimal number";
  if (error != std::errc()) *hex = UINT64_MAX;
  if (word[2].size() != 1) return "the status is not one letter";
  if (word[3].size() > 12) return "the stamp is longer than 12 characters";
  Scanner number{word[4]};
  if (!number.decimal(count) || !number.at_end())
    return "the retry count is not a number";
  return nullptr;
}

// Whether `text` is an interval key that names a time the programs can
// convert and write back unchanged. The time goes to *t.
bool round_trips(std::string_view text, time_t *t) {
  std::string key(text);
  return icf_cnv_time(key.c_str(), t) == nullptr && key_of(*t) == key;
}

int check(int argc, char **argv) {
  if (int rc = parse_flags(argc, argv, 0, nullptr); rc != kGoOn) return rc;
  if (argc - optind != 1)
    return fail("Missing or extra arguments on command line");
  const char *path = argv[optind];
  std::string text;
  if (int rc = read_locked(path, &text); rc != 0) return rc;

  Report report{path};
  Scanner in{text};
  int64_t header[3];
  bool valid[3];
  if (!check_header(in, report, header, valid)) return 1;
  const int64_t entries = header[1], retries = header[2];
  int64_t records = 0;
  bool have_previous = false;
  time_t previous = 0;
  std::string previous_key;
  for (;;) {
    in.skip_space();
    if (in.at_end()) break;
    int line = in.line;
    std::string_view word[5];
    int got = 0;
    for (; got < 5 && (in.skip_space(), !in.at_end()); ++got)
      word[got] = in.word();
    if (got < 5) {
      report(line,
             "partial record: %d of 5 fields; the programs cannot read the "
             "file",
             got);
      break;
    }
    uint64_t hex;
    int64_t retry_count;
    if (const char *why = malformed(word, &hex, &retry_count)) {
      report(line, "cannot read the record: %s; later lines are not checked",
             why);
      break;
    }
    ++records;
    const std::string key(word[0]);
    const int status = (unsigned char)word[2][0];
    // An 'a' line takes its time from its key when the file is loaded, and
    // the time column is rewritten from it: only the key needs to be sound.
    time_t t = time_t(hex);
    bool time_known = true;
    if (status == 'a') {
      if (!round_trips(key, &t))
        report(line, "key %s does not name a valid time", key.c_str());
    } else if (hex > UINT32_MAX) {
      report(line, "time %.*s is too large for 32 bits", int(word[1].size()),
             word[1].data());
      time_known = false;
    } else if (key_of(t) != key) {
      report(line, "key %s does not name its time %llx (%s)", key.c_str(),
             (unsigned long long)hex, key_of(t).c_str());
    }
    if (time_known && have_previous && t <= previous)
      report(line, "entry %s is not later than the entry before it (%s)",
             key.c_str(), previous_key.c_str());
    have_previous = time_known;
    previous = t;
    previous_key = key;

    time_t stamp;
    if (status_index(status) == kUnknown)
      report(line, "unknown status letter %s", letter_text(status).c_str());
    if (!round_trips(word[3], &stamp))
      report(line, "stamp %.*s is not a valid time", int(word[3].size()),
             word[3].data());
    // corvane keeps counting r on a failed interval, so only pending
    // entries are bound by RETRIES.
    if (!fits32(retry_count))
      report(line, "retry count %.*s is too large for a 32-bit number",
             int(word[4].size()), word[4].data());
    else if (retry_count < 0)
      report(line, "retry count %lld is below 0", (long long)retry_count);
    else if (valid[2] && is_pending(status) && retry_count > retries + 1)
      report(line, "retry count %lld is above RETRIES + 1 (%lld)",
             (long long)retry_count, (long long)retries + 1);
  }
  if (valid[1] && records > entries)
    report(0,
           "%lld entry lines, more than ENTRIES=%lld: the oldest %lld are "
           "dropped at the next update",
           (long long)records, (long long)entries,
           (long long)(records - entries));
  return report.problems > 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 1) return 1;
  const char *slash = strrchr(argv[0], '/');
  Prog = slash != nullptr ? slash + 1 : argv[0];
  tzset();
  if (int rc = parse_flags(argc, argv, 0, nullptr); rc != kGoOn) return rc;
  if (optind >= argc) {
    usage();
    return 1;
  }
  const std::string_view command = argv[optind];
  int sub_argc = argc - optind;
  char **sub_argv = argv + optind;
  if (command == "create") return create(sub_argc, sub_argv);
  if (command == "show") return show(sub_argc, sub_argv);
  if (command == "check") return check(sub_argc, sub_argv);
  fail("Unknown command: %s", argv[optind]);
  usage();
  return 1;
}
