// icftool create: starts a checkpoint file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include "libicf.h"
#include "tool.h"

int cmd_create(const Settings &s, int, char **operands) {
  const bool force = s.force;
  const char *path = operands[0], *period_arg = operands[1],
             *entries_arg = operands[2], *retries_arg = operands[3];
  int32_t period, entries, retries;
  if (!number(period_arg, 1, &period))
    return cli_fail(Prog, "Invalid period: %s (seconds, 1 or more)",
                    period_arg);
  if (!number(entries_arg, 1, &entries) || entries > ICF_MAX_ENTRIES)
    return cli_fail(Prog, "Invalid entries: %s (1 to %d)", entries_arg,
                    ICF_MAX_ENTRIES);
  if (!number(retries_arg, 0, &retries))
    return cli_fail(Prog, "Invalid retries: %s (0 or more)", retries_arg);
  // The books start with the interval that ended last, so that the first
  // run processes it and the grid is the job's from the start; a backfill
  // starts earlier on the same grid.
  const time_t last = icf_grid_first(period, s.now < 0 ? time(nullptr) : s.now);
  if (last < 0)
    return cli_fail(Prog, "No interval of period %d has ended yet", period);
  const time_t start = s.start < 0 ? last : s.start;
  if (!icf_grid_member(period, start))
    return cli_fail(Prog, "Not an interval start for period %d: %s", period,
                    key_of(start).c_str());
  if (start > last)
    return cli_fail(Prog,
                    "Interval %s has not ended yet (the last that has: %s)",
                    key_of(start).c_str(), key_of(last).c_str());
  // Without -f the file must not exist; creating it exclusively settles
  // that without a window in which another file could appear.
  if (!force) {
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd < 0 && errno == EEXIST)
      return cli_fail(Prog, "File exists: %s (-f replaces it)", path);
    if (fd < 0)
      return cli_fail(Prog, "Cannot create checkpoint file: %s: %s", path,
                      strerror(errno));
    close(fd);
  }
  errno = 0;
  if (!icf_create_from(path, period, entries, retries, start)) {
    int error = errno;
    if (!force) unlink(path);
    return cli_fail(Prog, "Cannot create checkpoint file: %s%s%s", path,
                    error != 0 ? ": " : "", error != 0 ? strerror(error) : "");
  }
  return 0;
}
