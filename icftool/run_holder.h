// Who holds the runner's lock. The lock file records the runner and the
// process groups of its running commands, each process with its start
// (clock ticks since boot) beside the boot and the process id namespace it
// counts in: a process id alone may have passed to another process since.
// A runner that finds the lock held reads the record back to name the
// holder.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

struct HolderRecord {
  std::string head;  // "host pid since start boot pidns"; empty: not written
  std::vector<std::pair<pid_t, uint64_t>> groups;  // group id, leader's start
  size_t size = 0;                                 // bytes written last
};

// The runner's own record, without groups.
HolderRecord holder_record();

// Rewrites the record in the lock file `fd` with the groups of `running`
// (their leaders' ids): the whole text at once, checked by a sum on its
// last line, so that a reader sees it whole or sees that it is not.
void holder_write(int fd, HolderRecord *record,
                  const std::vector<pid_t> &running);

// The note of a runner that found the lock held, from the lock file `fd`
// (negative: no record): the runner named if it lives or cannot be looked
// at, otherwise the live process of its commands' groups that has the
// lock file open, if any.
std::string holder_note(int fd, const char *shown);
