// The runner's lock: one runner per checkpoint file, whatever name the file
// is reached by, also on another host that shares its folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "run_holder.h"

struct RunnerLock {
  int fd = -1;          // the lock file, flock'ed
  int inode_fd = -1;    // the checkpoint file itself, for its hard links
  HolderRecord record;  // what the lock file says of the holder
};

enum LockResult { Locked, Busy, Lock_Error };

// Locks "<resolved>.lock" (its name cut to fit, as a save's temporary names
// are), and, when the file has further hard links, the file itself, waiting
// at most `wait` seconds. Neither descriptor is closed at exec: the
// commands inherit them, so the lock lives while any of them does. Busy
// with the note to print in *why (naming `shown`), or with *stopped set
// when a stop signal ended the wait; Lock_Error with the reason in *why.
LockResult runner_lock(const char *resolved, const char *shown, int32_t wait,
                       RunnerLock *lock, int *stopped, std::string *why);
// Records the process groups of the running commands (their leaders' ids)
// in the lock file, so that a runner finding the lock held after this one
// was killed can name the command that holds it.
void runner_lock_groups(RunnerLock *lock, const std::vector<pid_t> &running);
