// icftool metrics: the state of checkpoint files in the Prometheus text
// format, for node_exporter's textfile collector and the like.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "cli.h"
#include "cli_notice.h"
#include "tool.h"

namespace {

struct Sample {
  std::string labels;  // inside the braces
  int64_t value;
};

struct Family {
  const char *name;
  const char *help;
  std::vector<Sample> samples = {};
};

enum {
  Healthy,
  Intervals,
  Oldest_Pending,
  Lag,
  Due,
  Last_Change,
  Last_Done,
  Newest,
  Period,
  Entries,
  Retries,
  Families
};

// A label value: backslash, quote and newline escaped.
std::string label(std::string_view value) {
  std::string out;
  for (char c : value) {
    if (c == '\\' || c == '"') out += '\\';
    out += c == '\n' ? std::string("\\n") : std::string(1, c);
  }
  return out;
}

// Adds one file's samples. An unreadable file, or one the programs refuse,
// gets only its health, 0. The health is check's verdict, the zone's
// finding included: a file read under another zone than the job's counts
// one finding, so that a wrong TZ on the metrics line shows, once a file.
void measure(const char *path, time_t now, Family *families) {
  const std::string file = "file=\"" + label(name_text(path)) + "\"";
  auto add = [&](int family, int64_t value, const std::string &more = "") {
    families[family].samples.push_back({file + more, value});
  };
  Bytes text;
  std::string why;
  Tally tally;
  bool loads = false;
  Limits limits;
  limits.zone = true;
  const int problems = inspect(path, &text, &why)
                           ? check_text(path, {text.data, text.size}, limits,
                                        nullptr, &tally, &loads)
                           : 0;
  if (!loads) {
    if (why.empty())
      why = cli_failure_text({ICF_FAULT_FORMAT, 0, 0, 0}, path, true);
    cli_fail(Prog, "%s", why.c_str());
    return add(Healthy, 0);
  }
  const IcfTable &grid = tally.header;
  add(Healthy, problems == 0);
  for (int i = 0; i < Unknown_Status; ++i)
    add(Intervals, tally.by_status[i],
        std::string(",status=\"") + Status_Words[i] + "\"");
  if (tally.pending) add(Oldest_Pending, tally.oldest_pending);
  IcfDue due;
  tally.due(now, &due);
  add(Lag, lag_of(due, now));
  add(Due, due.intervals);
  if (due.last_change >= 0) add(Last_Change, due.last_change);
  if (tally.done) add(Last_Done, icf_interval_end(&grid, tally.last_done));
  if (tally.total > 0) add(Newest, icf_interval_end(&grid, tally.newest));
  add(Period, grid.period);
  add(Entries, grid.capacity);
  add(Retries, grid.retries);
}

std::string exposition(const Family *families) {
  std::string out;
  for (int f = 0; f < Families; ++f) {
    const Family &family = families[f];
    if (family.samples.empty()) continue;
    out += std::string("# HELP ") + family.name + " " + family.help + "\n";
    out += std::string("# TYPE ") + family.name + " gauge\n";
    for (const Sample &s : family.samples)
      out += std::string(family.name) + "{" + s.labels + "} " +
             std::to_string(s.value) + "\n";
  }
  return out;
}

// Writes `text` to a new file beside `path` and renames it over `path`, so
// that a collector reading meanwhile sees the old text or the new, whole.
bool write_atomically(const char *path, const std::string &text) {
  // The name cut so that the suffix fits wherever the name fits.
  const char *slash = strrchr(path, '/');
  const std::string_view whole(path);
  const size_t directory = slash == nullptr ? 0 : slash + 1 - path;
  std::string temp(whole.substr(0, directory));
  temp += whole.substr(directory, NAME_MAX - 7);
  temp += ".XXXXXX";
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  // mkostemp makes the file private; a collector runs as another user.
  const mode_t mask = umask(0);
  umask(mask);
  bool ok = fchmod(fd, 0666 & ~mask) == 0;
  for (size_t done = 0; ok && done < text.size();) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    ok = n > 0;
    done += ok ? size_t(n) : 0;
  }
  ok = ok && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  ok = ok && rename(temp.c_str(), path) == 0;
  if (!ok) {
    const int error = errno;
    unlink(temp.c_str());
    errno = error;
  }
  return ok;
}

}  // namespace

int cmd_metrics(const Settings &s, int count, char **paths) {
  const char *out = s.out;
  const time_t now = s.now >= 0 ? s.now : time(nullptr);
  Family families[Families] = {
      {"icf_healthy", "Whether icftool check finds the file sound (1) or not."},
      {"icf_intervals", "Intervals in the file, by status."},
      {"icf_oldest_pending_start_seconds",
       "Start of the oldest interval that still needs processing."},
      {"icf_lag_seconds",
       "Time since the end of the oldest interval that has ended and still "
       "needs processing (new, to retry or to process again; failed ones do "
       "not count), in the file or still to be appended; 0 when none has."},
      {"icf_due_intervals",
       "Intervals that have ended and still need processing (failed ones do "
       "not count), in the file or still to be appended."},
      {"icf_last_change_seconds",
       "Time of the newest update stamp: when a run last recorded anything."},
      {"icf_last_done_end_seconds", "End of the newest interval done."},
      {"icf_newest_end_seconds", "End of the newest interval in the file."},
      {"icf_period_seconds", "Length of an interval (PERIOD)."},
      {"icf_entries_max", "Intervals the file keeps (ENTRIES)."},
      {"icf_retries_max", "Retries allowed per interval (RETRIES)."},
  };
  if (const char *tz = getenv("TZ"); !cli_zone_known(tz))
    cli_fail(Prog, "%s", cli_zone_text(tz).c_str());
  for (int i = 0; i < count; ++i) measure(paths[i], now, families);
  const std::string text = exposition(families);
  if (out == nullptr) {
    fwrite(text.data(), 1, text.size(), stdout);
    return finish_output();
  }
  if (!write_atomically(out, text))
    return cli_fail(Prog, "Cannot write %s: %s", out, strerror(errno));
  return 0;
}
