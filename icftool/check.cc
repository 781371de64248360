// icftool check: whether a checkpoint file is healthy, and why not.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include "cli_notice.h"
#include "libicf.h"
#include "libstd.h"
#include "tool.h"

namespace {

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

// Judges the header's numbers as the programs do; false when they cannot
// open the file for them.
bool check_header(const IcfTable &h, Report &report) {
  const int problems = report.problems;
  if (h.period < 1) report(1, "PERIOD=%d is below 1", h.period);
  if (h.capacity < 1) report(2, "ENTRIES=%d is below 1", h.capacity);
  if (h.capacity > ICF_MAX_ENTRIES)
    report(2, "ENTRIES=%d is above %d, the most the programs take", h.capacity,
           ICF_MAX_ENTRIES);
  if (h.retries < 0) report(3, "RETRIES=%d is below 0", h.retries);
  if (report.problems == problems) {
    IcfEntry *ring = icf_ring_new(h.capacity);
    if (ring == nullptr)
      report(2,
             "no memory here for a table of ENTRIES=%d; the programs cannot "
             "open the file on this machine",
             h.capacity);
    icf_ring_free(ring, h.capacity);
  }
  return h.period >= 1 && h.capacity >= 1;
}

// Whether `text` is an interval key that names a time the programs can
// convert and write back unchanged. The time goes to *t.
bool round_trips(const char *text, time_t *t) {
  return icf_cnv_time(text, t) == nullptr && key_of(*t) == text;
}

// The limits' breaches, after the findings; a text the programs refuse
// has no lag to measure.
void check_limits(const IcfTable *table, const Limits &limits, Report &report) {
  if ((limits.max_lag < 0 && limits.max_failed < 0) || table == nullptr) return;
  const time_t now = limits.now >= 0 ? limits.now : time(nullptr);
  IcfDue due;
  icf_due(table, now, &due);
  const int64_t lag = lag_of(due, now);
  const int failed = count(*table).by_status[status_index('x')];
  if (limits.max_lag >= 0 && lag > limits.max_lag)
    report(0, "lag %lld s, more than %lld s", (long long)lag,
           (long long)limits.max_lag);
  if (limits.max_failed >= 0 && failed > limits.max_failed)
    report(0, "%s failed, more than %lld", entries_text(failed).c_str(),
           (long long)limits.max_failed);
}

// A file a cut-short save marked, and what to do about it.
void report_interrupted(Report &report) {
  report(1,
         "%s: the first byte is '%c' instead of the 'P' of PERIOD=, and the "
         "programs refuse the file until it is a 'P' again; %s",
         icf_read_reason(ICF_READ_INTERRUPTED), ICF_SAVE_MARK,
         report.problems == 0
             ? "the rest reads as one whole table: if it is the one you "
               "expect, put the 'P' back"
             : "the problems above show where the new text stops and the "
               "old goes on: mend or remove those lines, then put the 'P' "
               "back");
}

}  // namespace

int check_text(const char *path, std::string_view original,
               const IcfTable *table, const Limits &limits, FILE *out) {
  Report report{path, out};
  // The rest of a file marked by a cut-short save is checked as it would
  // read with the mark undone, to tell whether undoing it is enough.
  std::string text(original);
  const bool interrupted = !text.empty() && text[0] == ICF_SAVE_MARK;
  if (interrupted) text[0] = 'P';
  IcfReader in;
  icf_reader_init(&in, text.data(), text.size());
  IcfTable header{};
  if (!icf_read_header(&in, &header)) {
    report(in.fault_line, "%s; the programs cannot read the file",
           icf_read_reason(in.fault));
    return report.problems;
  }
  const bool valid_header = check_header(header, report);
  int64_t records = 0;
  bool have_previous = false;
  time_t previous = 0;
  std::string previous_key;
  for (IcfRecord rec; icf_read_record(&in, &rec);) {
    ++records;
    const int line = rec.line;
    const int status = rec.status;
    // An 'a' line takes its time from its key when the file is loaded, and
    // the time column is rewritten from it: only the key needs to be sound.
    time_t t = time_t(rec.time);
    if (status == 'a') {
      if (!round_trips(rec.key, &t))
        report(line, "key %s does not name a valid time", rec.key);
    } else if (key_of(t) != rec.key) {
      report(line, "key %s does not name its time %x (%s)", rec.key,
             unsigned(rec.time), key_of(t).c_str());
    }
    if (have_previous && t <= previous)
      report(line, "entry %s is not later than the entry before it (%s)",
             rec.key, previous_key.c_str());
    have_previous = true;
    previous = t;
    previous_key = rec.key;

    time_t stamp;
    if (status_index(status) == Unknown_Status)
      report(line, "unknown status letter %s", letter_text(status).c_str());
    if (!round_trips(rec.stamp, &stamp))
      report(line, "stamp %s is not a valid time", rec.stamp);
    // corvane keeps counting r on a failed interval, so only pending
    // entries are bound by RETRIES.
    if (rec.retry_count < 0)
      report(line, "retry count %d is below 0", rec.retry_count);
    else if (header.retries >= 0 && icf_pending(status) &&
             int64_t(rec.retry_count) > int64_t(header.retries) + 1)
      report(line, "retry count %d is above RETRIES + 1 (%lld)",
             rec.retry_count, (long long)header.retries + 1);
  }
  if (in.fault == ICF_READ_PARTIAL)
    report(in.fault_line,
           "partial record: %d of 5 fields; the programs cannot read the file",
           in.fields);
  else if (in.fault != ICF_READ_OK)
    report(in.fault_line,
           "cannot read the record: %s; the programs cannot read the file, "
           "and later lines are not checked",
           icf_read_reason(in.fault));
  if (valid_header && records > header.capacity)
    report(0,
           "%lld entry lines, more than ENTRIES=%d: the oldest %lld are "
           "dropped at the next update",
           (long long)records, header.capacity,
           (long long)(records - header.capacity));
  if (interrupted)
    report_interrupted(report);
  else
    check_limits(table, limits, report);
  return report.problems;
}

int cmd_check(const Settings &s, int, char **operands) {
  Limits limits;
  limits.max_lag = s.max_lag;
  limits.max_failed = s.max_failed;
  limits.now = s.now;
  const char *path = operands[0];
  std::string text, why;
  IcfFile file;
  if (!inspect(path, &file, &text, &why))
    return cli_fail(Prog, "%s", why.c_str());
  // First, as the keys are then read in the zone the C library fell back to.
  const char *tz = getenv("TZ");
  if (!cli_zone_known(tz)) printf("%s: %s\n", path, cli_zone_text(tz).c_str());
  const int problems =
      check_text(path, text, why.empty() ? &file.table : nullptr, limits,
                 stdout) +
      (cli_zone_known(tz) ? 0 : 1);
  icf_close(&file);
  if (int rc = finish_output(); rc != 0) return rc;
  return problems > 0 ? 1 : 0;
}
