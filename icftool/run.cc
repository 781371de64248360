// icftool run: processes every due interval of a checkpoint file with a
// command, oldest first, and records each outcome: the job script's loop
// (lock, choose, process, record) built once. Up to -j commands run at
// once, each for a batch of up to -b consecutive intervals.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "cli.h"
#include "cli_notice.h"
#include "libicf.h"
#include "libstd.h"
#include "run_lock.h"
#include "run_proc.h"
#include "tool.h"

namespace {

struct Options {
  CliDelays delays{};
  time_t now = -1;           // negative: the clock
  std::bitset<256> give_up;  // exit statuses that record 'x' at once
  JobLimits limits = {0, 10};
  int32_t max = 0;    // intervals started per run; 0: no limit
  int32_t wait = 0;   // seconds to wait for another runner
  int32_t jobs = 1;   // commands at once
  int32_t batch = 1;  // intervals per command
};

// One interval of a batch, and its place among the intervals of the run.
struct Interval {
  time_t start, end;
  std::string key;
  int place, of;  // [3/120]: of the intervals due when it was chosen
  int recorded;   // the letter it holds after the record; 0: no entry
};

// Consecutive intervals handed to one command.
struct Batch {
  std::vector<Interval> items;
  int32_t period, retry, last_retry;
  Job job{};
  int left = 0;  // the stop signal that left its intervals as they were
};
using Batches = std::vector<std::unique_ptr<Batch>>;

struct Run {
  Options o;
  const char *path = nullptr;  // as given: the messages name it
  std::string resolved;  // resolved once: what is locked, opened and saved
  char **command = nullptr;
  sigset_t mask;  // the commands start with it
  IcfFile file{};
  bool loaded = false;
  std::vector<time_t> tried;  // ascending
  // A batch is in one of these at a time: chosen, running, its group gone.
  Batches next, running, ended;
  int chosen = 0, due = 0;  // intervals
  int started = 0;          // intervals whose commands started
  int counts[3] = {};       // recorded done, retry, failed
  int missing = 0;          // recorded nowhere: the entry had gone
  bool dropped = false;
  bool limited = false;           // -m left a due interval unstarted
  int stop = 0;                   // the first stop signal
  int cannot_start = 0;           // the errno of a command that did not start
  std::vector<std::string> news;  // lines for standard error, without name
};

// The one place a stop signal is taken in, wherever in the loop it came:
// it goes on at once to every running group (a second one too).
void halt(Run *r, int sig) {
  if (sig == 0) return;
  if (r->stop == 0) r->stop = sig;
  for (std::unique_ptr<Batch> &b : r->running)
    job_stop(&b->job, sig, r->o.limits);
}

// Whether the runner stops, with any stop signal that came meanwhile.
bool stopping(Run *r) {
  halt(r, pending_stop());
  return r->stop != 0;
}

// A turn waiting for the file's lock gives up when a stop comes.
int give_up(void *run) { return stopping(static_cast<Run *>(run)); }

// The settings and operands the command table read, in the runner.
void parse(Run *r, const Settings &s, char **operands) {
  Options &o = r->o;
  o.delays = s.delays;
  o.now = s.now;
  o.give_up = s.give_up;
  o.limits = {s.timeout, s.grace};
  o.max = s.max;
  o.wait = s.wait;
  o.jobs = s.jobs;
  o.batch = s.batch;
  r->path = operands[0];
  r->command = operands + 2;
}

// The runner's lock on the file the path names, resolved here once. False
// with the exit status in *status: 0 when another runner is busy, 128 + a
// stop signal, 1 on failure; *why the message, if any.
bool lock(Run *r, RunnerLock *held, int *status, std::string *why) {
  char *resolved = icf_resolve_path(r->path);
  if (resolved == nullptr) {
    *why = std::string("Cannot lock ") + r->path + ": " + strerror(errno);
    *status = 1;
    return false;
  }
  r->resolved = resolved;
  std_free(nullptr, resolved);
  // A missing file gets no lock file beside it.
  struct stat st;
  if (stat(r->resolved.c_str(), &st) != 0) {
    *why = cli_failure_text({ICF_FAULT_SYSTEM, 0, 0, errno}, r->path, true);
    *status = 1;
    return false;
  }
  int stopped = 0;
  const LockResult got =
      runner_lock(r->resolved.c_str(), r->path, r->o.wait, held, &stopped, why);
  if (got == Locked) return true;
  halt(r, stopped);
  *status = got == Lock_Error ? 1 : r->stop != 0 ? 128 + r->stop : 0;
  if (r->stop != 0) why->clear();
  return false;
}

// Locks and loads the file, again after the runner's own save only when
// another program has written it since. The library resolves the name once
// more: a symbolic link put in the locked file's place is refused, as the
// library refuses one put there while it opens the file.
bool take_up(Run *r, std::string *why) {
  const char *path = r->resolved.c_str();
  bool ok = r->loaded ? icf_reopen(&r->file) != 0
                      : icf_open(&r->file, "QUENLOR", path) != 0;
  if (ok && !r->loaded) icf_keep(&r->file);  // saved once per turn
  r->loaded = ok;
  if (ok && strcmp(r->file.path, path) != 0) {
    icf_close(&r->file);
    r->file.failure = {ICF_FAULT_SYSTEM, 0, 0, ELOOP};
    ok = r->loaded = false;
  }
  if (!ok) *why = cli_failure_text(r->file.failure, r->path, true);
  return ok;
}

// Records the outcome of a batch whose group is gone, for each interval,
// and counts it.
void record(Run *r, Batch *b) {
  const Job &job = b->job;
  int letter = 'r';
  if (!job.timed_out && WIFEXITED(job.status)) {
    const int status = WEXITSTATUS(job.status);
    letter = status == 0 ? 's' : r->o.give_up[status] ? 'x' : 'r';
  }
  for (Interval &i : b->items) {
    time_t updated;
    i.recorded = cli_set_status(&r->file, i.start, letter, &updated)
                     ? icf_find(&r->file, updated)->status
                     : 0;
    if (i.recorded == 0) r->missing++;
    if (i.recorded == 's') r->counts[0]++;
    if (i.recorded == 'r') r->counts[1]++;
    if (i.recorded == 'x') r->counts[2]++;
  }
}

// The due intervals (oldest first) in batches for up to `slots` commands,
// within -m, into r->next. At the first turn every due interval is counted.
bool choose(Run *r, int slots, std::string *why) {
  CliDelays delays = r->o.delays;
  cli_delays_complete(&delays, r->file.table.retries);
  const IcfTable &t = r->file.table;
  int room = r->o.max > 0 ? r->o.max - r->chosen : INT_MAX;
  std::vector<IcfEntry *> due;
  const bool count_all = r->due == 0 && r->chosen == 0;
  for (;;) {
    IcfEntry *e;
    if (const char *reason =
            cli_select_except(&r->file, r->o.now, nullptr, &delays,
                              r->tried.data(), r->tried.size(), &e)) {
      *why = std::string("Time of completion, ") + reason;
      return false;
    }
    if (e == nullptr) break;
    due.push_back(e);
    // One more than can start tells whether -m holds one back.
    if (!count_all && int(due.size()) > std::min(room, slots * r->o.batch))
      break;
  }
  r->limited = int(due.size()) > room;
  if (count_all) r->due = int(due.size());
  if (count_all && !due.empty()) {
    r->news.push_back(std::to_string(r->due) +
                      (r->due == 1 ? " interval due, " : " intervals due, ") +
                      key_of(due[0]->time) +
                      (r->due > 1 ? " to " + key_of(due.back()->time) : ""));
  }
  Batch *b = nullptr;
  for (IcfEntry *e : due) {
    if (room == 0) break;
    const bool follows = b != nullptr && e->time == b->items.back().end &&
                         e->retry_count == b->retry &&
                         int(b->items.size()) < r->o.batch;
    if (!follows) {
      if (int(r->next.size()) == slots) break;
      r->next.push_back(std::make_unique<Batch>(
          Batch{{}, t.period, e->retry_count, e->retry_count == t.retries}));
      b = r->next.back().get();
    }
    char line[CLI_LINE_SIZE];
    cli_line(line, sizeof line, &t, e, 0);
    line[strcspn(line, "\n")] = '\0';
    r->chosen++;
    r->due = std::max(r->due, r->chosen);
    b->items.push_back(
        {e->time, icf_interval_end(&t, e->time), line, r->chosen, r->due, 0});
    room--;
  }
  return true;
}

// One turn with the file: records the batches whose groups are gone and
// were not stopped, chooses the next ones for `slots` commands and saves,
// once. The file is let go again before any command runs, as the commands
// may well update it themselves. A stop while the turn waits for the lock
// ends the turn, leaving those batches as they were. False when the file
// could not be used.
bool turn(Run *r, int slots, std::string *why) {
  if (!take_up(r, why)) {
    if (r->stop == 0 || r->file.failure.fault != ICF_FAULT_BUSY) return false;
    why->clear();
    for (std::unique_ptr<Batch> &b : r->ended)
      if (b->left == 0) b->left = r->stop;
    return true;
  }
  for (std::unique_ptr<Batch> &b : r->ended)
    if (b->left == 0) record(r, b.get());
  if (slots > 0 && !choose(r, slots, why)) return false;
  if (!icf_commit(&r->file)) {
    *why = std::string("Cannot write checkpoint file: ") + r->path;
    return false;
  }
  IcfDropped &dropped = r->file.table.dropped;
  if (dropped.count > 0) {
    r->news.insert(r->news.begin(), cli_dropped_text(dropped));
    dropped = IcfDropped{};
    r->dropped = true;
  }
  icf_release(&r->file);
  for (std::unique_ptr<Batch> &b : r->next)
    for (const Interval &i : b->items)
      r->tried.insert(
          std::upper_bound(r->tried.begin(), r->tried.end(), i.start), i.start);
  return true;
}

// NAME=value for the command's environment.
std::string env_entry(const char *name, const std::string &value) {
  return std::string(name) + "=" + value;
}

// The runner's environment with the batch's variables in place of any it
// holds already.
std::vector<std::string> command_env(const Batch &b) {
  auto number = [](long long v) { return std::to_string(v); };
  const Interval &first = b.items.front(), &last = b.items.back();
  std::string keys;
  for (const Interval &i : b.items) keys += (keys.empty() ? "" : " ") + i.key;
  std::vector<std::string> env = {
      env_entry("ICF_INTERVAL", first.key),
      env_entry("ICF_INTERVALS", keys),
      env_entry("ICF_COUNT", number(b.items.size())),
      env_entry("ICF_START", number(first.start)),
      env_entry("ICF_END", number(last.end)),
      env_entry("ICF_START_ISO", local_time(first.start, TimeForm::Iso)),
      env_entry("ICF_END_ISO", local_time(last.end, TimeForm::Iso)),
      env_entry("ICF_PERIOD", number(b.period)),
      env_entry("ICF_RETRY", number(b.retry)),
      env_entry("ICF_LAST_RETRY", number(b.last_retry))};
  const size_t own = env.size();
  for (char **e = environ; *e != nullptr; ++e) {
    bool replaced = false;
    for (size_t i = 0; i < own && !replaced; ++i)
      replaced = strncmp(*e, env[i].c_str(), env[i].find('=') + 1) == 0;
    if (!replaced) env.push_back(*e);
  }
  return env;
}

// Starts the command of each batch chosen; after a command that cannot
// start, no other starts (its batch and those after it stay as they are).
void start(Run *r) {
  for (std::unique_ptr<Batch> &b : r->next) {
    std::vector<std::string> env = command_env(*b);
    std::vector<char *> envp;
    for (std::string &e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    r->cannot_start =
        job_start(&b->job, r->command, envp.data(), r->mask, r->o.limits);
    if (r->cannot_start != 0) break;
    r->started += int(b->items.size());
    r->running.push_back(std::move(b));
  }
  r->next.clear();
}

std::string how_text(const Job &job, const Options &o) {
  if (job.timed_out)
    return " (timeout after " + std::to_string(o.limits.timeout) + " s)";
  if (WIFSIGNALED(job.status))
    return " (signal " + std::to_string(WTERMSIG(job.status)) + ")";
  const int status = WEXITSTATUS(job.status);
  return status == 0 ? "" : " (exit status " + std::to_string(status) + ")";
}

// The lines the turns gathered, each after the program name.
void tell(Run *r) {
  for (const std::string &line : r->news)
    fprintf(stderr, "%s: %s\n", Prog, line.c_str());
  r->news.clear();
}

// A line per interval of a batch whose group is gone.
void report(const Run &r, const Batch &b) {
  const double seconds = monotonic() - b.job.begin;
  for (const Interval &i : b.items) {
    fprintf(stderr, "%s: [%d/%d] %s ", Prog, i.place, i.of, i.key.c_str());
    if (b.left != 0) {
      fprintf(stderr, "left as it was (signal %d to the runner)", b.left);
    } else if (i.recorded == 0) {
      fprintf(stderr, "not recorded: no such interval any more%s\n",
              how_text(b.job, r.o).c_str());
      continue;
    } else {
      const int index = status_index(i.recorded);
      fprintf(stderr, "%s%s", Status_Words[index == Unknown_Status ? 0 : index],
              how_text(b.job, r.o).c_str());
    }
    fprintf(stderr, " in %.2f s\n", seconds);
  }
}

// Waits until a group is gone (its batch then ended) or a stop came.
void wait_for_groups(Run *r) {
  std::vector<Job *> jobs;
  for (std::unique_ptr<Batch> &b : r->running) jobs.push_back(&b->job);
  halt(r, jobs_wait(jobs, r->o.limits));
  for (std::unique_ptr<Batch> &b : r->running)
    if (b->job.phase == Job::Reaped) r->ended.push_back(std::move(b));
  std::erase(r->running, nullptr);
}

// Runs batches until nothing is due, -m is reached, a command cannot
// start or a stop signal came, and every group is gone. False when the
// file could not be used (the reason in *why); nothing more is recorded
// then, but the groups still end.
bool loop(Run *r, std::string *why) {
  bool ok = true;
  icf_lock_give_up(give_up, r);
  for (;;) {
    const bool more = ok && r->stop == 0 && r->cannot_start == 0;
    const int slots = more ? r->o.jobs - int(r->running.size()) : 0;
    bool recordable = slots > 0;
    for (std::unique_ptr<Batch> &b : r->ended) {
      b->left = b->job.stop;
      recordable = recordable || b->left == 0;
    }
    if (ok && recordable && !turn(r, slots, why)) {
      ok = false;
      icf_close(&r->file);  // the commands may want the file meanwhile
    }
    tell(r);
    if (ok)
      for (const std::unique_ptr<Batch> &b : r->ended) report(*r, *b);
    r->ended.clear();
    if (!stopping(r) && ok) start(r);
    r->next.clear();
    if (r->running.empty()) break;
    wait_for_groups(r);
  }
  icf_lock_give_up(nullptr, nullptr);
  return ok;
}

}  // namespace

int cmd_run(const Settings &s, int, char **operands) {
  Run r;
  std::string why;
  parse(&r, s, operands);
  const char *tz = getenv("TZ");
  if (!cli_zone_known(tz))
    return cli_fail(Prog, "%s", cli_zone_text(tz).c_str());
  jobs_prepare(&r.mask);
  RunnerLock held;
  int status;
  if (!lock(&r, &held, &status, &why)) {
    if (!why.empty()) cli_fail(Prog, "%s", why.c_str());
    return status;
  }
  const bool ok = loop(&r, &why);
  icf_close(&r.file);
  if (!ok) return cli_fail(Prog, "%s", why.c_str());
  if (r.cannot_start != 0)
    return cli_fail(Prog, "Cannot run %s: %s", r.command[0],
                    strerror(r.cannot_start));
  std::string note;
  if (r.stop != 0)
    note = "; stopped by signal " + std::to_string(r.stop);
  else if (r.limited)
    note = "; limit of " + std::to_string(r.o.max) + " reached";
  if (r.started > 0 || r.stop != 0)
    fprintf(stderr, "%s: run %d, done %d, retry %d, failed %d%s\n", Prog,
            r.started, r.counts[0], r.counts[1], r.counts[2], note.c_str());
  if (r.stop != 0) return 128 + r.stop;
  return r.counts[1] + r.counts[2] + r.missing > 0 || r.dropped ? 1 : 0;
}
