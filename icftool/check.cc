// icftool check: whether a checkpoint file is healthy, and why not.
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

namespace {

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
  FILE *out;  // null: counted only
  int problems = 0;

  __attribute__((format(printf, 3, 4))) void operator()(int line,
                                                        const char *format,
                                                        ...) {
    ++problems;
    if (out == nullptr) return;
    va_list ap;
    va_start(ap, format);
    if (line > 0)
      fprintf(out, "%s:%d: ", path, line);
    else
      fprintf(out, "%s: ", path);
    vfprintf(out, format, ap);
    fputc('\n', out);
    va_end(ap);
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

// The limits' breaches, after the findings; a text the programs refuse
// has no lag to measure.
void check_limits(std::string_view text, const Limits &limits, Report &report) {
  IcfFile file;
  if ((limits.max_lag < 0 && limits.max_failed < 0) || !load_text(text, &file))
    return;
  const time_t now = limits.now >= 0 ? limits.now : time(nullptr);
  const int64_t lag = lag_of(file.table, now);
  const int failed = count(file.table).by_status[status_index('x')];
  icf_close(&file);
  if (limits.max_lag >= 0 && lag > limits.max_lag)
    report(0, "lag %lld s, more than %lld s", (long long)lag,
           (long long)limits.max_lag);
  if (limits.max_failed >= 0 && failed > limits.max_failed)
    report(0, "%s failed, more than %lld", entries_text(failed).c_str(),
           (long long)limits.max_failed);
}

}  // namespace

int check_text(const char *path, std::string_view text, const Limits &limits,
               FILE *out) {
  Report report{path, out};
  Scanner in{text};
  int64_t header[3];
  bool valid[3];
  if (!check_header(in, report, header, valid)) return report.problems;
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
  check_limits(text, limits, report);
  return report.problems;
}

int cmd_check(int argc, char **argv) {
  Limits limits;
  opterr = 0;
  optind = 0;
  for (int c; (c = getopt(argc, argv, "+hl:x:t:")) != -1;) {
    int32_t n;
    if (c == 'h') {
      usage();
      return 0;
    } else if (c == 'l' && number(optarg, 0, &n)) {
      limits.max_lag = n;
    } else if (c == 'x' && number(optarg, 0, &n)) {
      limits.max_failed = n;
    } else if (c == 't' && key_option(optarg, &limits.now)) {
    } else if (c == 'l' || c == 'x' || c == 't') {
      return fail("Invalid option value for -%c: %s", c, optarg);
    } else {
      return fail("Invalid command-line option \"%c\"", optopt);
    }
  }
  if (argc - optind != 1)
    return fail("Missing or extra arguments on command line");
  const char *path = argv[optind];
  std::string text;
  if (int rc = read_locked(path, &text); rc != 0) return rc;
  return check_text(path, text, limits, stdout) > 0 ? 1 : 0;
}
