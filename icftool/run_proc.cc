// The commands' process groups, one state machine per command.
#include "run_proc.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <cerrno>
#include <cstdio>
#include <ctime>

namespace {

// While a command has exited but its group has not, the group is looked at
// this often: a process of the group that is no child of the runner's
// descendants (or a system without a child reaper) sends no SIGCHLD.
constexpr double Group_Poll = 0.1;

void on_child(int) {}

bool group_gone(pid_t group) { return kill(-group, 0) != 0 && errno == ESRCH; }

// Every signal to a group goes here, and never to a job already Reaped.
// The group's id cannot have passed to another group since the last look
// (advance, after the last reap) found it: an id is free again only once no
// process, zombies included, has it as process or group id. Until the
// runner waits for the command, the leader's zombie holds it; after that,
// the group's orphans come to the runner (its child reaper) and hold it as
// zombies until the next reap(), which a fresh look follows before any
// signal. Only a process that left the group on purpose could reap the
// last of it meanwhile (or init, on a system without a child reaper), and
// the id would then come back only after the system had handed out every
// other one.
void signal_group(const Job &job, int sig) { kill(-job.pid, sig); }

// Waits for every child that has ended: the commands, and the orphans of
// their groups that were handed to the runner.
void reap(const std::vector<Job *> &jobs) {
  int status;
  for (pid_t pid; (pid = waitpid(-1, &status, WNOHANG)) > 0;) {
    for (Job *job : jobs) {
      if (job->pid == pid && !job->exited) {
        job->exited = true;
        job->status = status;
      }
    }
  }
}

void terminate(Job *job, double now, const JobLimits &limits) {
  signal_group(*job, SIGTERM);
  job->phase = Job::Stopping;
  job->deadline = now + limits.grace;
}

// One step of a job's state machine at `now`.
void advance(Job *job, double now, const JobLimits &limits) {
  switch (job->phase) {
    case Job::Running:
      if (job->exited) {
        if (group_gone(job->pid))
          job->phase = Job::Reaped;
        else
          terminate(job, now, limits);
      } else if (job->deadline >= 0 && now >= job->deadline) {
        job->timed_out = true;
        terminate(job, now, limits);
      }
      break;
    case Job::Stopping:
      if (job->exited && group_gone(job->pid)) {
        job->phase = Job::Reaped;
      } else if (now >= job->deadline) {
        signal_group(*job, SIGKILL);
        job->phase = Job::Killing;
        job->deadline = -1;
      }
      break;
    case Job::Killing:
      if (job->exited && group_gone(job->pid)) job->phase = Job::Reaped;
      break;
    case Job::Reaped:
      break;
  }
}

}  // namespace

const sigset_t &stop_signals() {
  static const sigset_t set = [] {
    sigset_t s;
    sigemptyset(&s);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&s, sig);
    return s;
  }();
  return set;
}

int pending_stop() {
  const timespec zero = {0, 0};
  const int sig = sigtimedwait(&stop_signals(), nullptr, &zero);
  return sig > 0 ? sig : 0;
}

void job_stop(Job *job, int sig, const JobLimits &limits) {
  if (job->phase == Job::Reaped) return;
  signal_group(*job, sig);
  if (job->stop == 0) job->stop = sig;
  if (job->phase == Job::Running) {
    job->phase = Job::Stopping;
    job->deadline = monotonic() + limits.grace;
  }
}

double monotonic() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return double(t.tv_sec) + t.tv_nsec / 1e9;
}

void jobs_prepare(sigset_t *original) {
  // Stop signals wait until the runner can pass them on or leave cleanly;
  // SIGCHLD needs a handler of its own, as an inherited SIG_IGN would let
  // the kernel reap the commands before their status is read.
  sigset_t blocked = stop_signals();
  sigaddset(&blocked, SIGCHLD);
  sigprocmask(SIG_BLOCK, &blocked, original);
  struct sigaction child_action = {};
  child_action.sa_handler = on_child;
  sigaction(SIGCHLD, &child_action, nullptr);
#ifdef PR_SET_CHILD_SUBREAPER
  // The orphans of a group come to the runner, which reaps them; init
  // would, but until then their zombies keep the group from being empty.
  prctl(PR_SET_CHILD_SUBREAPER, 1);
#endif
}

// Spawned rather than forked: a fork would make every page the runner
// writes afterwards (the table, the save's text) fault once per interval.
int job_start(Job *job, char **argv, char **envp, const sigset_t &mask,
              const JobLimits &limits) {
  *job = Job{};
  fflush(stdout);
  fflush(stderr);
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  // The dispositions the runner changed go back to the defaults before the
  // exec: an ignored SIGXFSZ would be inherited (a write past the command's
  // file-size limit failing quietly instead of stopping it); the handled
  // ones are reset by the exec anyway, and listed so that no handler of
  // the runner's could run in the child meanwhile.
  sigset_t changed;
  sigemptyset(&changed);
  for (int sig : {SIGXFSZ, SIGPIPE, SIGCHLD}) sigaddset(&changed, sig);
  posix_spawnattr_setsigdefault(&attr, &changed);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP |
                                      POSIX_SPAWN_SETSIGMASK |
                                      POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setsigmask(&attr, &mask);
  job->begin = monotonic();
  const int error =
      posix_spawnp(&job->pid, argv[0], &actions, &attr, argv, envp);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  job->deadline = limits.timeout > 0 ? job->begin + limits.timeout : -1;
  return error;
}

int jobs_wait(const std::vector<Job *> &jobs, const JobLimits &limits) {
  sigset_t set = stop_signals();
  sigaddset(&set, SIGCHLD);
  for (;;) {
    reap(jobs);
    const double now = monotonic();
    bool reaped = false, polling = false;
    double next = -1;
    for (Job *job : jobs) {
      advance(job, now, limits);
      reaped = reaped || job->phase == Job::Reaped;
      if (job->phase != Job::Reaped &&
          (job->exited || job->phase == Job::Killing))
        polling = true;
      if (job->phase != Job::Reaped && job->deadline >= 0 &&
          (next < 0 || job->deadline < next))
        next = job->deadline;
    }
    if (reaped) return 0;
    if (polling && (next < 0 || next > now + Group_Poll))
      next = now + Group_Poll;
    int sig;
    if (next >= 0) {
      const double left = next > now ? next - now : 0;
      timespec wait = {time_t(left), long((left - time_t(left)) * 1e9)};
      sig = sigtimedwait(&set, nullptr, &wait);
    } else {
      sig = sigwaitinfo(&set, nullptr);
    }
    if (sig > 0 && sig != SIGCHLD) return sig;
  }
}
