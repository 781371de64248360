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
#include "run_wait.h"
#include "tool.h"

namespace {

struct Options {
  CliDelays delays{};
  time_t now = -1;           // negative: the clock
  std::bitset<256> give_up;  // exit statuses that record 'x' at once
  JobLimits limits = {0, 10};
  int32_t max = 0;             // intervals started per run; 0: no limit
  int32_t wait = 0;            // seconds to wait for another runner
  int32_t jobs = 1;            // commands at once
  int32_t batch = 1;           // intervals per command
  std::bitset<256> not_ready;  // exit statuses that leave the batch be
  bool in_order = false;       // -o
  int32_t deadline = -1;       // -D; negative: none
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
  bool not_ready = false;  // -N: the command found its input missing
};
using Batches = std::vector<std::unique_ptr<Batch>>;

// A line for standard error. One that only tells of waiting (the intervals
// due, when -N may yet show them all not ready; one not ready) is held back
// until a line of news comes, and is never said without one.
struct News {
  std::string text;
  bool waiting = false;
  News(std::string line, bool wait = false)
      : text(std::move(line)), waiting(wait) {}
};

struct Run {
  Options o;
  const char *path = nullptr;  // as given: the messages name it
  std::string resolved;  // resolved once: what is locked, opened and saved
  char **command = nullptr;
  sigset_t mask;  // the commands start with it
  RunnerLock held;
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
  bool limited = false;    // -m left a due interval unstarted
  int stop = 0;            // the first stop signal
  int cannot_start = 0;    // the errno of a command that did not start
  std::vector<News> news;  // lines for standard error, without name
  std::vector<std::string> withheld;  // waiting lines, not said yet
  bool spoke = false;                 // a line of news was said
  Upstreams ups;
  std::string unreadable;    // why an upstream could not be read
  int not_ready = 0;         // intervals whose command said -N
  int late = 0;              // intervals that -D failed
  bool told_failed = false;  // -o: the failed interval that holds it all
  bool stuck = false;        // said: only an operator can go on
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
  o.not_ready = s.not_ready;
  o.in_order = s.in_order;
  o.deadline = s.deadline;
  for (const char *path : s.upstreams) r->ups.push_back({path});
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
    // Its input is missing: the entries stay byte for byte as they were.
    if (status != 0 && r->o.not_ready[status]) {
      b->not_ready = true;
      r->not_ready += int(b->items.size());
      return;
    }
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

// What the waits decide before the walk over the due intervals: -D fails
// the late ones, and -o lets one batch start, at the oldest interval that
// is not done, and only while no command runs. False when nothing may
// start; *first is that oldest interval.
bool before_walk(Run *r, int *slots, const IcfEntry **first) {
  if (r->o.deadline < 0 && !r->o.in_order) return true;
  // The catch-up first, so that the intervals it appends count too.
  quenlor(&r->file, r->o.now, 0);
  r->file.table.cursor = nullptr;
  if (r->o.deadline >= 0) {
    std::vector<std::string> lines;
    const time_t now = r->o.now >= 0 ? r->o.now : time(nullptr);
    r->late += fail_late(&r->file, now, r->o.deadline, r->tried, &lines);
    r->news.insert(r->news.end(), lines.begin(), lines.end());
  }
  if (!r->o.in_order) return true;
  *slots = 1;
  *first = first_not_done(&r->file.table);
  const bool failed = *first != nullptr && (*first)->status == 'x';
  if (failed && !r->told_failed) {
    r->told_failed = r->stuck = true;
    r->news.push_back(key_of((*first)->time) +
                      " failed: the intervals after it wait until it is "
                      "marked (-o)");
  }
  return r->running.empty() && !failed;
}

enum class Gate { Go, Wait, Stop };

// Whether the due entry `e` may start after those in `due`: with -o only
// the oldest not done and the intervals that follow it directly; with -a
// only once the upstream files have done every interval it reads.
Gate gate(Run *r, const IcfEntry *e, const IcfEntry *first,
          const std::vector<IcfEntry *> &due) {
  const IcfTable &t = r->file.table;
  if (r->o.in_order &&
      (due.empty() ? e != first
                   : e->time != icf_interval_end(&t, due.back()->time)))
    return Gate::Stop;
  if (!r->ups.empty() &&
      !upstreams_ready(&r->ups, e->time, icf_interval_end(&t, e->time)))
    return r->o.in_order ? Gate::Stop : Gate::Wait;
  return Gate::Go;
}

// Says, once per run, what an upstream will never hold.
void tell_gaps(Run *r) {
  std::vector<std::string> lines;
  if (upstreams_tell(&r->ups, &lines) > 0) r->stuck = true;
  r->news.insert(r->news.end(), lines.begin(), lines.end());
}

// The due intervals (oldest first) in batches for up to `slots` commands,
// within -m, into r->next. At the first turn every due interval is counted.
bool choose(Run *r, int slots, std::string *why) {
  const IcfEntry *first = nullptr;
  if (!before_walk(r, &slots, &first)) return true;
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
    const Gate g = gate(r, e, first, due);
    if (g == Gate::Stop) break;
    if (g == Gate::Wait) continue;
    due.push_back(e);
    // One more than can start tells whether -m holds one back.
    if (!count_all && int(due.size()) > std::min(room, slots * r->o.batch))
      break;
  }
  tell_gaps(r);
  r->limited = int(due.size()) > room;
  if (count_all) r->due = int(due.size());
  if (count_all && !due.empty()) {
    r->news.push_back(
        {std::to_string(r->due) +
             (r->due == 1 ? " interval due, " : " intervals due, ") +
             key_of(due[0]->time) +
             (r->due > 1 ? " to " + key_of(due.back()->time) : ""),
         r->o.not_ready.any()});
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
  const size_t running = r->running.size();
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
  if (r->running.size() == running) return;
  std::vector<pid_t> groups;
  for (const std::unique_ptr<Batch> &b : r->running)
    groups.push_back(b->job.pid);
  runner_lock_groups(&r->held, groups);
}

std::string how_text(const Job &job, const Options &o) {
  if (job.timed_out)
    return " (timeout after " + std::to_string(o.limits.timeout) + " s)";
  if (WIFSIGNALED(job.status))
    return " (signal " + std::to_string(WTERMSIG(job.status)) + ")";
  const int status = WEXITSTATUS(job.status);
  return status == 0 ? "" : " (exit status " + std::to_string(status) + ")";
}

// The lines held back so far, once a line of news comes.
void unhold(Run *r) {
  r->spoke = true;
  for (const std::string &line : r->withheld)
    fprintf(stderr, "%s: %s\n", Prog, line.c_str());
  r->withheld.clear();
}

// A line after the program name, or held back while it only tells of
// waiting and nothing else was said.
void say(Run *r, const News &n) {
  if (n.waiting && !r->spoke) return r->withheld.push_back(n.text);
  if (!r->spoke) unhold(r);
  fprintf(stderr, "%s: %s\n", Prog, n.text.c_str());
}

// The lines the turns gathered.
void tell(Run *r) {
  for (const News &n : r->news) say(r, n);
  r->news.clear();
}

// A line per interval of a batch whose group is gone.
void report(Run *r, const Batch &b) {
  char seconds[32];
  snprintf(seconds, sizeof seconds, " in %.2f s", monotonic() - b.job.begin);
  const std::string how = how_text(b.job, r->o);
  for (const Interval &i : b.items) {
    // Appended piece by piece: g++ 12 at -O3 takes a chain of + on a
    // temporary for an overlapping copy (-Wrestrict).
    std::string line = "[";
    line += std::to_string(i.place);
    line += '/';
    line += std::to_string(i.of);
    line += "] ";
    line += i.key;
    line += ' ';
    if (b.left != 0) {
      line += "left as it was (signal " + std::to_string(b.left) +
              " to the runner)" + seconds;
    } else if (b.not_ready) {
      line += "not ready" + how + seconds;
    } else if (i.recorded == 0) {
      line += "not recorded: no such interval any more" + how;
    } else {
      const int index = status_index(i.recorded);
      line += Status_Words[index == Unknown_Status ? 0 : index] + how + seconds;
    }
    say(r, {line, b.not_ready && b.left == 0});
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

// Reads the upstream files for a turn. False when one cannot be read: no
// interval starts any more then, and the run fails at its end (unless a
// stop signal ended the wait for its lock).
bool read_upstreams(Run *r) {
  std::string why;
  if (upstreams_read(&r->ups, &why)) return true;
  if (!stopping(r)) r->unreadable = why;
  return false;
}

// Runs batches until nothing is due, -m is reached, a command cannot
// start or a stop signal came, and every group is gone. False when the
// file could not be used (the reason in *why); nothing more is recorded
// then, but the groups still end.
bool loop(Run *r, std::string *why) {
  bool ok = true;
  icf_lock_give_up(give_up, r);
  for (;;) {
    const bool more =
        ok && r->stop == 0 && r->cannot_start == 0 && r->unreadable.empty();
    int slots = more ? r->o.jobs - int(r->running.size()) : 0;
    // Upstreams are read before the file is locked: no lock waits on
    // another while held.
    if (slots > 0 && !r->ups.empty() && !read_upstreams(r)) slots = 0;
    bool recordable = slots > 0;
    for (std::unique_ptr<Batch> &b : r->ended) {
      b->left = b->job.stop;
      recordable = recordable || b->left == 0;
    }
    if (ok && recordable && !turn(r, slots, why)) {
      ok = false;
      icf_close(&r->file);  // the commands may want the file meanwhile
    }
    upstreams_close(&r->ups);
    tell(r);
    if (ok)
      for (const std::unique_ptr<Batch> &b : r->ended) report(r, *b);
    r->ended.clear();
    if (!stopping(r) && ok) start(r);
    r->next.clear();
    if (r->running.empty()) break;
    wait_for_groups(r);
  }
  icf_lock_give_up(nullptr, nullptr);
  return ok;
}

// The end of a run whose file could be used: what it leaves to say, and
// the exit status.
int finish(Run *r) {
  if (r->cannot_start != 0 || !r->unreadable.empty()) unhold(r);
  if (r->cannot_start != 0)
    return cli_fail(Prog, "Cannot run %s: %s", r->command[0],
                    strerror(r->cannot_start));
  if (!r->unreadable.empty())
    return cli_fail(Prog, "%s", r->unreadable.c_str());
  std::string note;
  if (r->not_ready > 0) note = ", not ready " + std::to_string(r->not_ready);
  if (r->stop != 0)
    note += "; stopped by signal " + std::to_string(r->stop);
  else if (r->limited)
    note += "; limit of " + std::to_string(r->o.max) + " reached";
  // A run whose commands all found their input missing says nothing.
  if ((r->started > 0 && r->spoke) || r->stop != 0) {
    unhold(r);
    fprintf(stderr, "%s: run %d, done %d, retry %d, failed %d%s\n", Prog,
            r->started, r->counts[0], r->counts[1], r->counts[2], note.c_str());
  }
  if (r->stop != 0) return 128 + r->stop;
  const int failed = r->counts[1] + r->counts[2] + r->missing + r->late;
  return failed > 0 || r->dropped || r->stuck ? 1 : 0;
}

}  // namespace

int cmd_run(const Settings &s, int, char **operands) {
  Run r;
  std::string why;
  parse(&r, s, operands);
  const char *tz = getenv("TZ");
  if (!cli_zone_known(tz))
    return cli_fail(Prog, "%s", cli_zone_text(tz).c_str());
  for (int status = 1; status < 256; ++status)
    if (r.o.give_up[status] && r.o.not_ready[status])
      return cli_fail(Prog, "Exit status %d given to both -x and -N", status);
  if (!upstreams_apart(r.path, r.ups, &why))
    return cli_fail(Prog, "%s", why.c_str());
  jobs_prepare(&r.mask);
  int status;
  if (!lock(&r, &r.held, &status, &why)) {
    if (!why.empty()) cli_fail(Prog, "%s", why.c_str());
    return status;
  }
  const bool ok = loop(&r, &why);
  icf_close(&r.file);
  upstreams_close(&r.ups);
  if (!ok) {
    unhold(&r);
    return cli_fail(Prog, "%s", why.c_str());
  }
  return finish(&r);
}
