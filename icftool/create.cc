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

int cmd_create(int argc, char **argv) {
  bool force = false;
  const char *from = nullptr;
  time_t now = -1, start = -1;
  reset_options();
  for (int c; (c = getopt(argc, argv, command_options(argv[0]))) != -1;) {
    if (c == 'h') {
      return command_help(argv[0]);
    } else if (c == 'f') {
      force = true;
    } else if (c == 's' && key_option(optarg, &start)) {
      from = optarg;
    } else if (c == 't' && key_option(optarg, &now)) {
    } else if (c == 's' || c == 't') {
      return fail("Invalid option value for -%c: %s", c, optarg);
    } else {
      return fail("Invalid command-line option \"%c\"", optopt);
    }
  }
  argc -= optind;
  argv += optind;
  if (argc != 4) return fail("Missing or extra arguments on command line");
  const char *path = argv[0], *period_arg = argv[1], *entries_arg = argv[2],
             *retries_arg = argv[3];
  int32_t period, entries, retries;
  if (!number(period_arg, 1, &period))
    return fail("Invalid period: %s (seconds, 1 or more)", period_arg);
  if (!number(entries_arg, 1, &entries) || entries > ICF_MAX_ENTRIES)
    return fail("Invalid entries: %s (1 to %d)", entries_arg, ICF_MAX_ENTRIES);
  if (!number(retries_arg, 0, &retries))
    return fail("Invalid retries: %s (0 or more)", retries_arg);
  // The books start with the interval that ended last, so that the first
  // run processes it and the grid is the job's from the start; a backfill
  // starts earlier on the same grid.
  const time_t last = icf_grid_first(period, now < 0 ? time(nullptr) : now);
  if (last < 0) return fail("No interval of period %d has ended yet", period);
  if (from == nullptr) {
    start = last;
  } else if (!icf_grid_member(period, start)) {
    return fail("Not an interval start for period %d: %s", period, from);
  } else if (start > last) {
    return fail("Interval %s has not ended yet (the last that has: %s)", from,
                key_of(last).c_str());
  }
  // Without -f the file must not exist; creating it exclusively settles
  // that without a window in which another file could appear.
  if (!force) {
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd < 0 && errno == EEXIST)
      return fail("File exists: %s (-f replaces it)", path);
    if (fd < 0)
      return fail("Cannot create checkpoint file: %s: %s", path,
                  strerror(errno));
    close(fd);
  }
  errno = 0;
  if (!icf_create_from(path, period, entries, retries, start)) {
    int error = errno;
    if (!force) unlink(path);
    return fail("Cannot create checkpoint file: %s%s%s", path,
                error != 0 ? ": " : "", error != 0 ? strerror(error) : "");
  }
  return 0;
}
