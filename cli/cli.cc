#include "cli.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "libcvt.h"

const char *cli_progname(const char *argv0) {
  const char *slash = std::strrchr(argv0, '/');
  return slash ? slash + 1 : argv0;
}

CliDelayResult cli_delays_parse(CliDelays *delays, const char *value,
                                const char **bad_item) {
  if (std::strlen(value) >= static_cast<size_t>(CLI_DELAY_TEXT))
    return CLI_DELAY_TOO_LONG;
  // A later -d starts again at slot 0: the slots past its items keep what
  // an earlier one gave.
  std::strcpy(delays->text, value);
  int32_t n = 0;
  char *item = delays->text;
  for (;;) {
    char *comma = std::strchr(item, ',');
    if (comma) *comma = '\0';
    // 63 characters hold at most 64 items, so n stays inside the table.
    uint32_t *slot = &delays->slot[n];
    if (*item != '\0' &&
        cvt_string_2_uint(CVT_STRING, std::strlen(item) + 1, item, CVT_UINT,
                          sizeof *slot, slot, nullptr) < 0) {
      *bad_item = item;
      return CLI_DELAY_BAD_ITEM;
    }
    n++;
    if (!comma) break;
    item = comma + 1;
  }
  delays->count = n;
  return CLI_DELAY_OK;
}

bool cli_delay_option(CliDelays *delays, const char *value, const char *prog,
                      std::string *message) {
  const char *item;
  switch (cli_delays_parse(delays, value, &item)) {
    case CLI_DELAY_OK:
      return true;
    case CLI_DELAY_TOO_LONG:
      *message = std::string(prog) + ": Delay string should be less than " +
                 std::to_string(CLI_DELAY_TEXT) + "\n";
      return false;
    case CLI_DELAY_BAD_ITEM:
      *message = std::string("Invalid option value for -d: ") + item + "\n";
      return false;
  }
  return false;
}

std::string cli_failure_text(const IcfFailure &failure, const char *path,
                             bool cause) {
  const std::string file = path;
  switch (failure.fault) {
    case ICF_FAULT_BUSY:
      return "Checkpoint file is busy: " + file;
    case ICF_FAULT_NOT_REGULAR:
      if (cause)
        return "Invalid checkpoint file: " + file + ": not a regular file";
      break;
    case ICF_FAULT_SYSTEM:
      if (cause)
        return "Cannot open checkpoint file: " + file + ": " +
               std::strerror(failure.error);
      break;
    case ICF_FAULT_NONE:
    case ICF_FAULT_FORMAT:
    case ICF_FAULT_ALLOC:
      break;
  }
  return "Invalid checkpoint file: " + file;
}

CliOptionResult cli_common_option(int c, const char *arg, const char *prog,
                                  CliOptions *options, std::string *message) {
  switch (c) {
    case 'p':
      options->flags |= CLI_WITH_PERIOD;
      return CLI_OPTION_TAKEN;
    case 'f':
      options->flags |= CLI_WITH_FLAG;
      return CLI_OPTION_TAKEN;
    case 't':
      if (const char *why = icf_cnv_key(arg, &options->now)) {
        *message = std::string(prog) + ": Current time, " + why + "\n";
        return CLI_OPTION_BAD;
      }
      return CLI_OPTION_TAKEN;
    case 'd':
      return cli_delay_option(&options->delays, arg, prog, message)
                 ? CLI_OPTION_TAKEN
                 : CLI_OPTION_BAD;
    default:
      return CLI_OPTION_OTHER;
  }
}

bool cli_save(IcfFile *file, const char *path, const char *prog,
              std::string *message) {
  const bool saved = icf_commit(file);
  icf_close(file);
  if (!saved)
    *message =
        std::string(prog) + ": Cannot write checkpoint file: " + path + "\n";
  return saved;
}

void cli_delays_complete(CliDelays *delays, int32_t retries) {
  if (delays->count <= 0) return;
  int32_t end = retries < CLI_DELAY_SLOTS ? retries : CLI_DELAY_SLOTS;
  for (int32_t i = delays->count; i < end; i++)
    delays->slot[i] = delays->slot[delays->count - 1];
}

uint32_t cli_delay_for(const CliDelays *delays, int32_t retry_count) {
  if (delays->count <= 0 || retry_count <= 0) return 0;
  if (retry_count > CLI_DELAY_SLOTS) retry_count = CLI_DELAY_SLOTS;
  return delays->slot[retry_count - 1];
}

bool cli_held_back(uint32_t delay, time_t stamp, time_t clock) {
  int64_t elapsed = static_cast<int64_t>(clock) - static_cast<int64_t>(stamp);
  if (elapsed > INT32_MAX) elapsed = INT32_MAX;
  if (elapsed < INT32_MIN) elapsed = INT32_MIN;
  return static_cast<int32_t>(elapsed) < static_cast<int32_t>(delay);
}

const char *cli_select(IcfFile *file, time_t now, const time_t *search_start,
                       const CliDelays *delays, IcfEntry **chosen) {
  return cli_select_except(file, now, search_start, delays, nullptr, 0, chosen);
}

const char *cli_select_except(IcfFile *file, time_t now,
                              const time_t *search_start,
                              const CliDelays *delays, const time_t *skip,
                              size_t skip_count, IcfEntry **chosen) {
  *chosen = nullptr;
  for (IcfEntry *e = quenlor(file, now, 0); e; e = quenlor(file, now, 0)) {
    if (search_start && *search_start >= e->time) continue;
    if (skip_count > 0 && std::binary_search(skip, skip + skip_count, e->time))
      continue;
    if (delays->count > 0 && e->retry_count > 0) {
      time_t stamp;
      if (const char *why = icf_cnv_time(e->stamp, &stamp)) return why;
      if (cli_held_back(cli_delay_for(delays, e->retry_count), stamp,
                        time(nullptr)))
        continue;
    }
    *chosen = e;
    break;
  }
  return nullptr;
}

IcfEntry *cli_snapshot(IcfFile *file, time_t now) {
  IcfEntry *last = nullptr;
  for (IcfEntry *e = quenlor(file, now, 1); e; e = quenlor(file, now, 1))
    last = e;
  if (!last) return nullptr;
  time_t at = now >= 0 ? now : time(nullptr);
  // Not start + PERIOD: an interval across a clock change lasts longer.
  return icf_interval_end(&file->table, last->time) > at ? last : nullptr;
}

bool cli_set_status(IcfFile *file, time_t interval, int status,
                    time_t *updated) {
  // The key names the first pass; the second pass of the same local time may
  // have an entry too, in a file written before such passes were skipped.
  time_t first, second;
  const int passes =
      icf_local_passes(interval, &first, &second) && second != interval ? 2 : 1;
  const time_t instants[2] = {interval, second};
  bool found = false;
  for (int i = 0; i < passes; i++) {
    if (IcfEntry *e = icf_find(file, instants[i])) {
      corvane(file, e, status);
      found = true;
      *updated = instants[i];
    }
  }
  return found;
}

int cli_line(char *buffer, size_t size, const IcfTable *table,
             const IcfEntry *chosen, int flags) {
  char key[13] = "0";
  if (chosen) {
    // Times read from a checkpoint file always break down; should one not,
    // the entry's own key names the same interval.
    if (!icf_key_text(chosen->time, key))
      std::snprintf(key, sizeof key, "%s", chosen->key);
    // A period of whole minutes keeps its starts on whole minutes; any other
    // needs the seconds, or the key printed would name no entry.
    else if (table->period % 60 == 0)
      key[10] = key[11] = '0';
  }
  int last_retry = chosen && chosen->retry_count == table->retries;
  int n;
  if (!(flags & CLI_WITH_FLAG))
    n = (flags & CLI_WITH_PERIOD)
            ? std::snprintf(buffer, size, "%s %d\n", key, table->period)
            : std::snprintf(buffer, size, "%s\n", key);
  else
    n = (flags & CLI_WITH_PERIOD)
            ? std::snprintf(buffer, size, "%s %d %d\n", key, table->period,
                            last_retry)
            : std::snprintf(buffer, size, "%s %d\n", key, last_retry);
  return n >= 0 && static_cast<size_t>(n) < size ? n : -1;
}

namespace {

void ignore_signal(int) {}

}  // namespace

bool cli_guard_stdio() {
  signal(SIGXFSZ, SIG_IGN);
  // Caught rather than ignored, so that a write to a closed pipe fails and is
  // reported, while a program started later gets the default again.
  struct sigaction pipe_closed = {};
  pipe_closed.sa_handler = ignore_signal;
  sigaction(SIGPIPE, &pipe_closed, nullptr);
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // The lower descriptors are open, so the next open takes this one.
    int opened = fd == 1 ? open("/dev/full", O_WRONLY) : -1;
    if (opened < 0) opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened != fd) return false;
  }
  return true;
}

bool cli_flush_output() {
  return std::fflush(stdout) == 0 && !std::ferror(stdout);
}
