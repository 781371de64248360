#include "cli.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "cli_notice.h"
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

CliDelayResult cli_delay_option(CliDelays *delays, const char *value,
                                std::string *why) {
  const char *item = nullptr;
  const CliDelayResult result = cli_delays_parse(delays, value, &item);
  if (result == CLI_DELAY_TOO_LONG)
    *why = "Delay string should be less than " + std::to_string(CLI_DELAY_TEXT);
  else if (result == CLI_DELAY_BAD_ITEM)
    *why = std::string("Invalid option value for -d: ") + item;
  return result;
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

CliOptionResult cli_common_option(int c, const char *arg, CliOptions *options,
                                  std::string *why) {
  switch (c) {
    case 'p':
      options->flags |= CLI_WITH_PERIOD;
      return CLI_OPTION_TAKEN;
    case 'f':
      options->flags |= CLI_WITH_FLAG;
      return CLI_OPTION_TAKEN;
    case 't':
      if (const char *reason = icf_cnv_key(arg, &options->now)) {
        *why = std::string("Current time, ") + reason;
        return CLI_OPTION_BAD;
      }
      return CLI_OPTION_TAKEN;
    case 'd':
      switch (cli_delay_option(&options->delays, arg, why)) {
        case CLI_DELAY_OK:
          return CLI_OPTION_TAKEN;
        case CLI_DELAY_TOO_LONG:
          return CLI_OPTION_BAD;
        case CLI_DELAY_BAD_ITEM:
          return CLI_OPTION_BAD_ITEM;
      }
      return CLI_OPTION_BAD;
    default:
      return CLI_OPTION_OTHER;
  }
}

int cli_fail(const char *prog, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  if (prog != nullptr) std::fprintf(stderr, "%s: ", prog);
  std::vfprintf(stderr, format, ap);
  std::fputc('\n', stderr);
  va_end(ap);
  return 1;
}

int cli_option_failure(const char *prog, CliOptionResult result,
                       const std::string &why) {
  return cli_fail(result == CLI_OPTION_BAD_ITEM ? nullptr : prog, "%s",
                  why.c_str());
}

bool cli_save(IcfFile *file, const char *path, std::string *why) {
  const bool saved = icf_commit(file);
  icf_close(file);
  if (!saved) *why = std::string("Cannot write checkpoint file: ") + path;
  return saved;
}

int cli_finish(const char *prog, IcfFile *file, const char *path,
               const char *line) {
  const IcfDropped dropped = file->table.dropped;
  std::string why;
  if (!cli_save(file, path, &why)) return cli_fail(prog, "%s", why.c_str());
  // Said aloud, although the line and the exit status stay as they are.
  if (dropped.count > 0)
    std::fprintf(stderr, "%s: %s\n", prog, cli_dropped_text(dropped).c_str());
  if (line == nullptr || std::fputs(line, stdout) < 0 || !cli_flush_output())
    return cli_fail(prog, "%s", Cli_Output_Failure);
  return 0;
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
