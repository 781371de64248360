// The commands of icftool run: each in a process group of its own, whose
// work ends only when no process of that group is left. A command that
// exits leaves its helpers to SIGTERM and, after the grace, SIGKILL, as a
// service manager ends what is left of a unit; so do a timeout and a stop
// signal to the runner.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <cstdint>
#include <vector>

// One command and its group, from its start until the group is gone.
struct Job {
  // Running: the command runs. Stopping: its group got SIGTERM (after the
  // command's exit, a timeout or a stop signal); SIGKILL at the deadline.
  // Killing: SIGKILL sent. Reaped: nothing of the group is left.
  enum Phase { Running, Stopping, Killing, Reaped } phase;
  pid_t pid;        // the command, the leader of the group
  bool exited;      // the command itself has been waited for
  int status;       // its wait status, once exited
  double begin;     // monotonic seconds
  double deadline;  // of the timeout or the grace; negative: none
  bool timed_out;
  int stop;  // the first stop signal passed on to the group, or 0
};

struct JobLimits {
  int32_t timeout;  // seconds a command may run; 0: no limit
  int32_t grace;    // seconds between SIGTERM and SIGKILL
};

// Signals that stop the runner; passed on to every group.
const sigset_t &stop_signals();
// A stop signal that arrived while blocked (taken), or 0.
int pending_stop();
// Monotonic seconds.
double monotonic();

// Makes the runner the reaper of its commands' orphans (where the system
// knows that), so that their zombies leave the group, and sets up SIGCHLD.
// Stop signals and SIGCHLD stay blocked from here on; *original gets the
// mask the commands start with.
void jobs_prepare(sigset_t *original);

// Starts `argv` (looked up in PATH) with `envp` in a new process group,
// standard input from /dev/null and the signal mask `mask`. 0, or the
// errno of the failure.
int job_start(Job *job, char **argv, char **envp, const sigset_t &mask,
              const JobLimits &limits);

// Waits until at least one job of `jobs` is Reaped, or a stop signal came
// (taken, and returned for the caller to pass on); 0 for the former. Jobs
// already reaped count at once.
int jobs_wait(const std::vector<Job *> &jobs, const JobLimits &limits);
// Passes the stop signal `sig` on to the job's group unless it is gone;
// a running command gets the grace to end.
void job_stop(Job *job, int sig, const JobLimits &limits);
