// icftool run: processes every due interval of a checkpoint file with a
// command, oldest first, one run of the command per interval, and records
// each outcome. It is the job script's loop (lock, choose, process, record)
// built once.
#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "cli.h"
#include "libicf.h"
#include "tool.h"

namespace {

struct Options {
  CliDelays delays{};
  time_t now = -1;         // negative: the clock
  bool give_up[256] = {};  // exit statuses that record 'x' at once
  int32_t timeout = 0;     // seconds per interval; 0: none
  int32_t grace = 10;      // seconds between SIGTERM and SIGKILL
  int32_t max = 0;         // intervals per run; 0: no limit
  int32_t wait = 0;        // seconds to wait for another runner
};

// The interval handed to the command.
struct Choice {
  time_t start, end;
  char key[CLI_LINE_SIZE];
  int32_t period, retry, last_retry;
};

// How a run of the command ended.
struct Outcome {
  enum How { Exited, Signaled, Timed_Out, Interrupted, Not_Started } how;
  int value;  // exit status, signal number or errno
  double seconds;
};

// Signals that stop the runner; they are passed on to the command.
const int Stop_Signals[] = {SIGTERM, SIGINT, SIGHUP};

double monotonic() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return double(t.tv_sec) + t.tv_nsec / 1e9;
}

void on_child(int) {}

sigset_t stop_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : Stop_Signals) sigaddset(&set, s);
  return set;
}

// A stop signal that arrived while it was blocked, or 0.
int pending_stop() {
  sigset_t set = stop_set();
  timespec zero = {0, 0};
  int sig = sigtimedwait(&set, nullptr, &zero);
  return sig > 0 ? sig : 0;
}

// "2024-11-03T01:00:00-04:00": local time with its offset, so that the two
// passes of a repeated hour differ.
std::string iso(time_t t) {
  struct tm tm;
  char text[40];
  if (localtime_r(&t, &tm) == nullptr ||
      strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm) == 0)
    return "";
  const int offset = int(tm.tm_gmtoff < 0 ? -tm.tm_gmtoff : tm.tm_gmtoff);
  char zone[16];
  snprintf(zone, sizeof zone, "%c%02d:%02d", tm.tm_gmtoff < 0 ? '-' : '+',
           offset / 3600 % 100, offset / 60 % 60);
  return std::string(text) + zone;
}

// A whole number from `low` to `high` for option -`letter`.
bool number_option(const char *text, int32_t low, int32_t high, int32_t *value,
                   char letter) {
  if (number(text, low, value) && *value <= high) return true;
  fail("Invalid option value for -%c: %s", letter, text);
  return false;
}

enum LockResult { Locked, Busy, Lock_Error };

// The runner's lock lives in its own file beside the checkpoint file: saves
// replace the checkpoint file, so a lock taken on it would guard a file
// that no longer has a name after the first save. Waits at most `wait`
// seconds; a stop signal meanwhile ends the wait (*stopped).
LockResult lock_runner(const std::string &lock_path, int32_t wait,
                       int *stopped) {
  int fd = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  // A lock file made beforehand serves in a directory the job cannot write.
  if (fd < 0 && (errno == EACCES || errno == EROFS))
    fd = open(lock_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Lock_Error;
  const double deadline = monotonic() + wait;
  const sigset_t set = stop_set();
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return Locked;  // held until exit
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) break;
    if (monotonic() >= deadline) {
      close(fd);
      return Busy;
    }
    timespec nap = {0, 50 * 1000 * 1000};
    int sig = sigtimedwait(&set, nullptr, &nap);
    if (sig > 0) {
      *stopped = sig;
      close(fd);
      return Busy;
    }
  }
  close(fd);
  return Lock_Error;
}

// One turn with the checkpoint file, open and locked: records `letter` for
// the interval tried (when `tried` is set), chooses the next interval that
// is due and not yet tried, and saves. So each interval costs one save, and
// the file is let go again before the command runs. *recorded is the letter
// the interval tried holds afterwards (0 when it has no entry any more).
bool step(IcfFile *file, const char *path, const Options &o,
          const time_t *tried, int letter, const std::vector<time_t> &skip,
          Choice *next, bool *chosen, int *recorded) {
  if (tried != nullptr) {
    time_t updated;
    *recorded = 0;
    if (cli_set_status(file, *tried, letter, &updated))
      *recorded = icf_find(file, updated)->status;
  }
  CliDelays delays = o.delays;
  cli_delays_complete(&delays, file->table.retries);
  IcfEntry *e;
  if (const char *why = cli_select_except(file, o.now, nullptr, &delays,
                                          skip.data(), skip.size(), &e)) {
    fail("Time of completion, %s", why);
    return false;
  }
  *chosen = e != nullptr;
  if (e != nullptr) {
    const IcfTable &t = file->table;
    next->start = e->time;
    next->end = icf_next_start(&t, e->time);
    if (next->end < 0) next->end = e->time + t.period;
    cli_line(next->key, sizeof next->key, &t, e, 0);
    next->key[strcspn(next->key, "\n")] = '\0';
    next->period = t.period;
    next->retry = e->retry_count;
    next->last_retry = e->retry_count == t.retries;
  }
  if (!icf_commit(file)) {
    fail("Cannot write checkpoint file: %s", path);
    return false;
  }
  // Unlocked while the command runs, which may well update the file itself.
  icf_release(file);
  return true;
}

// NAME=value for the command's environment.
std::string env_entry(const char *name, const std::string &value) {
  return std::string(name) + "=" + value;
}

// The runner's environment with the interval's variables in place of any
// it holds already.
std::vector<std::string> command_env(const Choice &c) {
  auto number = [](long long v) { return std::to_string(v); };
  std::vector<std::string> env = {
      env_entry("ICF_INTERVAL", c.key),
      env_entry("ICF_START", number(c.start)),
      env_entry("ICF_END", number(c.end)),
      env_entry("ICF_START_ISO", iso(c.start)),
      env_entry("ICF_END_ISO", iso(c.end)),
      env_entry("ICF_PERIOD", number(c.period)),
      env_entry("ICF_RETRY", number(c.retry)),
      env_entry("ICF_LAST_RETRY", number(c.last_retry))};
  const size_t own = env.size();
  for (char **e = environ; *e != nullptr; ++e) {
    bool replaced = false;
    for (size_t i = 0; i < own && !replaced; ++i)
      replaced = strncmp(*e, env[i].c_str(), env[i].find('=') + 1) == 0;
    if (!replaced) env.push_back(*e);
  }
  return env;
}

// Runs the command for one interval in its own process group, with
// standard input from /dev/null and the interval in its environment. It
// is spawned rather than forked: a fork would make every page the runner
// writes afterwards (the table, the save's text) fault once per interval.
Outcome run_command(char **command, const Choice &c, const Options &o,
                    const sigset_t &child_mask) {
  const double begin = monotonic();
  fflush(stdout);
  fflush(stderr);
  std::vector<std::string> env = command_env(c);
  std::vector<char *> envp;
  for (std::string &e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  // Opened here as fd 0 when standard input was closed, then left as it is.
  const int null = open("/dev/null", O_RDONLY);
  if (null > 0) {
    posix_spawn_file_actions_adddup2(&actions, null, 0);
    posix_spawn_file_actions_addclose(&actions, null);
  }
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setsigmask(&attr, &child_mask);
  pid_t pid;
  const int error =
      posix_spawnp(&pid, command[0], &actions, &attr, command, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (null >= 0) close(null);
  if (error != 0) return {Outcome::Not_Started, error, 0};
  int status;

  sigset_t set = stop_set();
  sigaddset(&set, SIGCHLD);
  // 0: running; 1: SIGTERM sent, SIGKILL after the grace; 2: SIGKILL sent.
  int phase = 0;
  bool timed_out = false;
  int interrupted = 0;
  double deadline = o.timeout > 0 ? begin + o.timeout : -1;
  for (;;) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) {
      // The status is lost; only a success would be wrong to record.
      status = 127 << 8;
      break;
    }
    int sig;
    if (deadline >= 0) {
      double left = deadline - monotonic();
      if (left <= 0) {
        if (phase == 0) timed_out = true;
        kill(-pid, phase == 0 ? SIGTERM : SIGKILL);
        deadline = phase == 0 ? monotonic() + o.grace : -1;
        phase++;
        continue;
      }
      timespec wait = {time_t(left), long((left - time_t(left)) * 1e9)};
      sig = sigtimedwait(&set, nullptr, &wait);
    } else {
      sig = sigwaitinfo(&set, nullptr);
    }
    if (sig <= 0 || sig == SIGCHLD) continue;
    kill(-pid, sig);
    if (interrupted == 0) interrupted = sig;
    if (phase == 0) {
      phase = 1;
      deadline = monotonic() + o.grace;
    }
  }
  const double seconds = monotonic() - begin;
  if (interrupted != 0) return {Outcome::Interrupted, interrupted, seconds};
  if (timed_out) return {Outcome::Timed_Out, o.timeout, seconds};
  if (WIFSIGNALED(status))
    return {Outcome::Signaled, WTERMSIG(status), seconds};
  return {Outcome::Exited, WEXITSTATUS(status), seconds};
}

int letter_for(const Outcome &r, const Options &o) {
  if (r.how != Outcome::Exited) return 'r';
  if (r.value == 0) return 's';
  return o.give_up[r.value] ? 'x' : 'r';
}

std::string how_text(const Outcome &r) {
  switch (r.how) {
    case Outcome::Exited:
      return r.value == 0 ? ""
                          : " (exit status " + std::to_string(r.value) + ")";
    case Outcome::Signaled:
      return " (signal " + std::to_string(r.value) + ")";
    case Outcome::Timed_Out:
      return " (timeout after " + std::to_string(r.value) + " s)";
    default:
      return "";
  }
}

}  // namespace

int cmd_run(int argc, char **argv) {
  Options o;
  std::string message;
  reset_options();
  for (int c; (c = getopt(argc, argv, command_options(argv[0]))) != -1;) {
    int32_t value;
    switch (c) {
      case 'h':
        return command_help(argv[0]);
      case 'd':
        if (!cli_delay_option(&o.delays, optarg, Prog, &message)) {
          fputs(message.c_str(), stderr);
          return 1;
        }
        break;
      case 't':
        if (const char *why = icf_cnv_key(optarg, &o.now))
          return fail("Current time, %s", why);
        break;
      case 'x':
        if (!number_option(optarg, 1, 255, &value, 'x')) return 1;
        o.give_up[value] = true;
        break;
      case 'T':
        if (!number_option(optarg, 0, INT32_MAX, &o.timeout, 'T')) return 1;
        break;
      case 'k':
        if (!number_option(optarg, 0, INT32_MAX, &o.grace, 'k')) return 1;
        break;
      case 'm':
        if (!number_option(optarg, 1, INT32_MAX, &o.max, 'm')) return 1;
        break;
      case 'w':
        if (!number_option(optarg, 0, INT32_MAX, &o.wait, 'w')) return 1;
        break;
      default:
        return fail("Invalid command-line option \"%c\"", optopt);
    }
  }
  argc -= optind;
  argv += optind;
  if (argc < 3 || strcmp(argv[1], "--") != 0)
    return fail("Missing or extra arguments on command line");
  const char *path = argv[0];
  char **command = argv + 2;

  // Stop signals wait until the runner can pass them on or leave cleanly;
  // SIGCHLD needs a handler of its own, as an inherited SIG_IGN would let
  // the kernel reap the command before its status is read.
  sigset_t blocked = stop_set(), original;
  sigaddset(&blocked, SIGCHLD);
  sigprocmask(SIG_BLOCK, &blocked, &original);
  struct sigaction child_action = {};
  child_action.sa_handler = on_child;
  sigaction(SIGCHLD, &child_action, nullptr);

  char resolved[PATH_MAX];
  if (realpath(path, resolved) == nullptr)
    return open_failure({ICF_FAULT_SYSTEM, 0, 0, errno}, path);
  const std::string lock_path = std::string(resolved) + ".lock";
  int stopped = 0;
  switch (lock_runner(lock_path, o.wait, &stopped)) {
    case Locked:
      break;
    case Busy:
      if (stopped != 0) return 128 + stopped;
      fprintf(stderr, "%s: Another runner is busy with %s; leaving\n", Prog,
              path);
      return 0;
    case Lock_Error:
      return fail("Cannot lock %s: %s", lock_path.c_str(), strerror(errno));
  }

  std::vector<time_t> tried;  // ascending
  int counts[3] = {};         // done, retry, failed
  int ran = 0, missing = 0;
  Choice choice, next;
  bool chosen;
  int recorded;
  // Opened once: after its own save the runner takes up the table it holds
  // unless another program has written the file meanwhile.
  IcfFile file{};
  struct Closer {
    IcfFile *file;
    ~Closer() { icf_close(file); }
  } closer{&file};
  auto take_up = [&](bool first) {
    if (first ? icf_open(&file, "QUENLOR", path) : icf_reopen(&file))
      return true;
    open_failure(file.failure, path);
    return false;
  };
  if (!take_up(true) ||
      !step(&file, path, o, nullptr, 0, tried, &choice, &chosen, &recorded))
    return 1;
  std::string note;
  auto summary = [&] {
    fprintf(stderr, "%s: run %d, done %d, retry %d, failed %d%s\n", Prog, ran,
            counts[0], counts[1], counts[2], note.c_str());
  };
  int stop = 0;
  while (chosen && (stop = pending_stop()) == 0) {
    if (o.max > 0 && ran >= o.max) {
      note = "; limit of " + std::to_string(o.max) + " reached";
      break;
    }
    tried.insert(std::upper_bound(tried.begin(), tried.end(), choice.start),
                 choice.start);
    Outcome r = run_command(command, choice, o, original);
    if (r.how == Outcome::Not_Started)
      return fail("Cannot run %s: %s", command[0], strerror(r.value));
    ran++;
    if (r.how == Outcome::Interrupted) {
      fprintf(stderr,
              "%s: %s left as it was (signal %d to the runner) in %.2f s\n",
              Prog, choice.key, r.value, r.seconds);
      note = "; stopped by signal " + std::to_string(r.value);
      summary();
      return 128 + r.value;
    }
    if (!take_up(false) ||
        !step(&file, path, o, &choice.start, letter_for(r, o), tried, &next,
              &chosen, &recorded))
      return 1;
    int index = status_index(recorded);
    if (recorded == 0) {
      missing++;
      fprintf(stderr, "%s: %s not recorded: no such interval any more%s\n",
              Prog, choice.key, how_text(r).c_str());
    } else {
      if (recorded == 's') counts[0]++;
      if (recorded == 'r') counts[1]++;
      if (recorded == 'x') counts[2]++;
      fprintf(stderr, "%s: %s %s%s in %.2f s\n", Prog, choice.key,
              Status_Words[index == Unknown_Status ? 0 : index],
              how_text(r).c_str(), r.seconds);
    }
    choice = next;
  }
  if (stop == 0) stop = pending_stop();
  if (stop != 0) note = "; stopped by signal " + std::to_string(stop);
  summary();
  if (stop != 0) return 128 + stop;
  return counts[1] + counts[2] + missing > 0 ? 1 : 0;
}
