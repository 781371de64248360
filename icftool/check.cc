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
#include "waits.h"

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

constexpr time_t Hour = 3600;

// Judges the header's numbers by the programs' rule; false when they cannot
// open the file for them (*ring: nor allocate its table here).
bool check_header(const IcfTable &h, Report &report, bool *ring) {
  *ring = true;
  const int problems = report.problems;
  if (!icf_period_valid(h.period)) report(1, "PERIOD=%d is below 1", h.period);
  if (!icf_entries_valid(h.capacity) && h.capacity < 1)
    report(2, "ENTRIES=%d is below 1", h.capacity);
  else if (!icf_entries_valid(h.capacity))
    report(2, "ENTRIES=%d is above %d, the most the programs take", h.capacity,
           ICF_MAX_ENTRIES);
  if (h.retries < 0) report(3, "RETRIES=%d is below 0", h.retries);
  if (report.problems == problems) {
    IcfEntry *table = icf_ring_new(h.capacity);
    *ring = table != nullptr;
    if (table == nullptr)
      report(2,
             "no memory here for a table of ENTRIES=%d; the programs cannot "
             "open the file on this machine",
             h.capacity);
    icf_ring_free(table, h.capacity);
  }
  return icf_period_valid(h.period) && icf_entries_valid(h.capacity);
}

// Whether `key` is the interval key that the programs write for t.
bool names(IcfLocal *local, time_t t, const char *key) {
  const int named = icf_local_names(local, t, key);
  return named >= 0 ? named == 1 : key_of(t) == key;
}

// Whether `text` is an interval key that names a time the programs can
// convert and write back unchanged. The time goes to *t.
bool round_trips(IcfLocal *local, const char *text, time_t *t) {
  return icf_cnv_time(text, t) == nullptr && names(local, *t, text);
}

// The same for a stamp, whose time is not needed.
bool shows(IcfLocal *local, const char *stamp) {
  const int shown = icf_local_shows(local, stamp);
  time_t t;
  return shown >= 0 ? shown == 1 : round_trips(local, stamp, &t);
}

// The keys that do not name their times, and whether another zone's offset
// explains them all: each a whole number of quarter hours away from its
// time, on the same side, by at most the 26 hours two zones differ.
struct Shift {
  int64_t count = 0;
  bool zone = true;
  time_t least = 0, most = 0;  // seconds, of the keys after their times

  void add(IcfLocal *local, const char *key, time_t t) {
    time_t named, wall;
    const char *abbreviation;
    ++count;
    if (!zone || !icf_key_wall(local, key, &named) ||
        !icf_local_wall(local, t, &wall, &abbreviation)) {
      zone = false;
      return;
    }
    const time_t d = named - wall;
    if (count == 1) least = most = d;
    least = d < least ? d : least;
    most = d > most ? d : most;
    zone = d % 900 == 0 && (least > 0 || most < 0) && least >= -26 * Hour &&
           most <= 26 * Hour;
  }
  // One finding for them all rather than a line each: more than one key,
  // or all the keys there were.
  bool one_finding(int64_t keys) const {
    return count > 0 && zone && (count > 1 || count == keys);
  }
};

// "5 h", "5 h 30 min", "45 min".
std::string hours(time_t seconds) {
  const long long s = seconds < 0 ? -seconds : seconds;
  char text[64];
  if (s % Hour == 0)
    snprintf(text, sizeof text, "%lld h", s / Hour);
  else if (s < Hour)
    snprintf(text, sizeof text, "%lld min", s / 60);
  else
    snprintf(text, sizeof text, "%lld h %lld min", s / Hour, s % Hour / 60);
  return text;
}

// How a pass reports the keys that do not name their times.
enum class Keys {
  Counted,  // counted in Shift, to decide
  Zone,     // one finding for them all, where the first is
  Quiet,    // none: the zone finding said it
  Each,     // a line each
};

// What one pass over a text finds. The first fills the tally, the shift
// and whether the programs load the text; the second prints.
struct Pass {
  Report report;
  IcfLocal *local;
  Keys keys;
  Tally *tally;  // the table the programs load, filled by the first pass
  bool first;
  Shift shift = {};
  int64_t checked = 0;  // keys compared with their times
  bool loads = false;
};

void judge_record(Pass &p, const IcfRecord &rec, time_t t, time_t previous,
                  const char *previous_key, bool have_previous,
                  const IcfTable &header) {
  Report &report = p.report;
  const int line = rec.line;
  const int status = rec.status;
  // An 'a' line takes its time from its key when the file is loaded, and
  // the time column is rewritten from it: only the key needs to be sound.
  if (status == 'a') {
    time_t named;
    if (!round_trips(p.local, rec.key, &named))
      report(line, "key %s does not name a valid time", rec.key);
  } else if (++p.checked, !names(p.local, t, rec.key)) {
    switch (p.keys) {
      case Keys::Counted:
        p.shift.add(p.local, rec.key, t);
        break;
      case Keys::Zone:
        if (p.shift.count++ == 0) {
          const time_t a = p.shift.least < 0 ? -p.shift.least : p.shift.least;
          const time_t b = p.shift.most < 0 ? -p.shift.most : p.shift.most;
          const std::string least = hours(a < b ? a : b);
          const std::string most = hours(a < b ? b : a);
          report(0,
                 "keys are %s%s%s from their times: written under another "
                 "TZ?",
                 least.c_str(), least == most ? "" : " to ",
                 least == most ? "" : most.c_str());
        }
        break;
      case Keys::Quiet:
        break;
      case Keys::Each:
        report(line, "key %s does not name its time %x (%s)", rec.key,
               unsigned(rec.time), key_of(t).c_str());
        break;
    }
  }
  if (have_previous && t <= previous)
    report(line, "entry %s is not later than the entry before it (%s)", rec.key,
           previous_key);
  if (status_index(status) == Unknown_Status)
    report(line, "unknown status letter %s", letter_text(status).c_str());
  if (!shows(p.local, rec.stamp))
    report(line, "stamp %s is not a valid time", rec.stamp);
  // corvane keeps counting r on a failed interval, so only pending
  // entries are bound by RETRIES.
  if (rec.retry_count < 0)
    report(line, "retry count %d is below 0", rec.retry_count);
  else if (header.retries >= 0 && icf_pending(status) &&
           int64_t(rec.retry_count) > int64_t(header.retries) + 1)
    report(line, "retry count %d is above RETRIES + 1 (%lld)", rec.retry_count,
           (long long)header.retries + 1);
}

// The limits' breaches, after the findings.
void check_limits(const Tally &tally, const Limits &limits, Report &report) {
  if (limits.max_lag < 0 && limits.max_failed < 0) return;
  const time_t now = limits.now >= 0 ? limits.now : time(nullptr);
  IcfDue due;
  tally.due(now, &due);
  const int64_t lag = lag_of(due, now);
  const int failed = tally.by_status[status_index('x')];
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

// One pass of check over `text`, whose mark of a cut-short save, if any, is
// already undone.
void judge(Pass &p, std::string_view text, bool interrupted, bool zone_known,
           const Limits &limits) {
  Report &report = p.report;
  if (limits.zone && !zone_known) {
    const char *tz = getenv("TZ");
    report(0, "%s", cli_zone_text(tz).c_str());
  }
  IcfReader in;
  icf_reader_init(&in, text.data(), text.size());
  IcfTable header{};
  if (!icf_read_header(&in, &header)) {
    report(in.fault_line, "%s; the programs cannot read the file",
           icf_read_reason(in.fault));
    return;
  }
  bool ring;
  const bool valid_header = check_header(header, report, &ring);
  const IcfReader first = in;
  if (p.first) p.tally->begin(header);
  bool have_previous = false;
  time_t previous = 0;
  char previous_key[13] = "";
  int64_t records = 0;
  for (IcfRecord rec; icf_read_record(&in, &rec);) {
    ++records;
    time_t t = icf_record_time(&rec);
    judge_record(p, rec, t, previous, previous_key, have_previous, header);
    if (p.first) p.tally->add(rec, t);
    have_previous = true;
    previous = t;
    std::memcpy(previous_key, rec.key, sizeof previous_key);
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
  if (p.first)
    p.loads = valid_header && ring && in.fault == ICF_READ_OK && !interrupted &&
              p.tally->settle(first);
  // A text the programs refuse has no lag to measure.
  if (interrupted)
    report_interrupted(report);
  else if (p.loads)
    check_limits(*p.tally, limits, report);
}

}  // namespace

int check_text(const char *path, std::string_view original,
               const Limits &limits, FILE *out, Tally *tally, bool *loads) {
  // The rest of a file marked by a cut-short save is checked as it would
  // read with the mark undone, to tell whether undoing it is enough.
  std::string unmarked;
  std::string_view text = original;
  const bool interrupted = !text.empty() && text[0] == ICF_SAVE_MARK;
  if (interrupted) {
    unmarked.assign(original);
    unmarked[0] = 'P';
    text = unmarked;
  }
  const bool zone_known = !limits.zone || cli_zone_known(getenv("TZ"));
  IcfLocal local;
  icf_local_init(&local);
  // Quietly first, to learn whether the keys that do not name their times
  // are one zone's shift; again, printing, when there is anything to print.
  Tally own;
  Pass quiet{{path, nullptr},
             &local,
             Keys::Counted,
             tally != nullptr ? tally : &own,
             true};
  judge(quiet, text, interrupted, zone_known, limits);
  const Shift &shift = quiet.shift;
  const Keys keys = !shift.one_finding(quiet.checked) ? Keys::Each
                    : zone_known                      ? Keys::Zone
                                                      : Keys::Quiet;
  if (loads != nullptr) *loads = quiet.loads;
  const int problems =
      quiet.report.problems + (keys == Keys::Each   ? int(shift.count)
                               : keys == Keys::Zone ? 1
                                                    : 0);
  if (out == nullptr || problems == 0) return problems;
  Pass loud{{path, out}, &local, keys, quiet.tally, false};
  loud.shift.least = shift.least;
  loud.shift.most = shift.most;
  loud.loads = quiet.loads;
  judge(loud, text, interrupted, zone_known, limits);
  return loud.report.problems;
}

int cmd_check(const Settings &s, int, char **operands) {
  Limits limits;
  limits.zone = true;
  limits.max_lag = s.max_lag;
  limits.max_failed = s.max_failed;
  limits.now = s.now;
  const char *path = operands[0];
  Bytes text;
  std::string why;
  if (!inspect(path, &text, &why)) return cli_fail(Prog, "%s", why.c_str());
  UpstreamFiles ups;
  if (!ups.load(s.upstreams, path, &why))
    return cli_fail(Prog, "%s", why.c_str());
  int problems = check_text(path, {text.data, text.size}, limits, stdout);
  problems +=
      waits_checked(ups, path, s.now >= 0 ? s.now : time(nullptr), stdout);
  if (int rc = finish_output(); rc != 0) return rc;
  return problems > 0 ? 1 : 0;
}
