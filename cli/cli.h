// What quenlor and corvane share: the retry delay list and its completion,
// the delay test, the two selection walks over the pending entries, the
// status change by key and the output line.
//
// Nothing here prints or exits but the two calls for a program's main
// (cli_fail, cli_finish): helpers return false (or their enum) with a
// reason without the program's name and newline, and the program's main,
// or an icftool command's top, prints it once through cli_fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "libicf.h"

constexpr int32_t CLI_DELAY_SLOTS = 64;
// A -d value must be shorter than this.
constexpr int32_t CLI_DELAY_TEXT = 64;

// The delays before the 1st, 2nd, ... retry, in seconds.
struct CliDelays {
  uint32_t slot[CLI_DELAY_SLOTS];  // slot r-1: wait before the r-th retry
  int32_t count;                   // items given; 0: no delays
  char text[CLI_DELAY_TEXT];       // the -d value, cut into items
};

enum CliDelayResult : int32_t {
  CLI_DELAY_OK = 0,
  CLI_DELAY_TOO_LONG = 1,  // the value has CLI_DELAY_TEXT characters or more
  CLI_DELAY_BAD_ITEM = 2,  // *bad_item names the item that was refused
};

// The program name: argv0 after its last '/'.
const char *cli_progname(const char *argv0);

// Reads a -d value ("600,1800,3600") into `delays` from slot 0 on, replacing
// the count an earlier value gave and the slots it fills. An empty item is 0;
// other items are unsigned numbers in the base their prefix selects (0x hex, 0
// octal). On CLI_DELAY_BAD_ITEM, *bad_item points at the refused item inside
// delays->text.
CliDelayResult cli_delays_parse(CliDelays *delays, const char *value,
                                const char **bad_item);

// The -d option: cli_delays_parse, and on failure the reason in *why.
// quenlor and corvane print a refused item's reason without their name.
CliDelayResult cli_delay_option(CliDelays *delays, const char *value,
                                std::string *why);

// The message for a failed open of `path`, without the program name and
// the newline. quenlor and corvane tell only a busy file from an invalid
// one; with `cause` the message also names a file that is not a regular
// one and the system's reason for an open that failed.
std::string cli_failure_text(const IcfFailure &failure, const char *path,
                             bool cause);

// What the options quenlor and corvane share set: -p and -f the output
// line's flags, -t the time, -d the delays.
struct CliOptions {
  int flags = 0;
  time_t now = -1;  // negative: the library reads the clock
  CliDelays delays{};
};

enum CliOptionResult : int32_t {
  CLI_OPTION_TAKEN = 0,
  CLI_OPTION_OTHER = 1,     // not a shared option: the program's own, or none
  CLI_OPTION_BAD = 2,       // *why holds the reason
  CLI_OPTION_BAD_ITEM = 3,  // a -d item: the reason is printed unnamed
};

// Takes getopt's option `c` with its `arg` when it is one of the shared
// ones. An option letter that neither takes is "Invalid command-line
// option"; the program words that itself.
CliOptionResult cli_common_option(int c, const char *arg, CliOptions *options,
                                  std::string *why);

// Prints "prog: ", the message and a newline on standard error (without
// the prefix when prog is null): the one way the programs say why they
// fail. Returns 1, the exit status of every failure.
__attribute__((format(printf, 2, 3))) int cli_fail(const char *prog,
                                                   const char *format, ...);
// cli_fail for an option cli_common_option refused; 1.
int cli_option_failure(const char *prog, CliOptionResult result,
                       const std::string &why);

// Writes the file back and closes it (also on failure): false with the
// reason in *why.
bool cli_save(IcfFile *file, const char *path, std::string *why);

// The end of quenlor and corvane: saves and closes the file, says aloud
// the intervals the update dropped, and prints the output line (null:
// none could be made). Saved before printed, so that a job that reads a
// line can rely on the file. The exit status.
int cli_finish(const char *prog, IcfFile *file, const char *path,
               const char *line);

// Repeats the last delay given for every further retry up to `retries`
// (at most CLI_DELAY_SLOTS). Does nothing when no delays were given.
void cli_delays_complete(CliDelays *delays, int32_t retries);

// The delay an entry with `retry_count` waits: 0 when no delays were given or
// the count is 0 or less; the last slot for counts beyond the table.
uint32_t cli_delay_for(const CliDelays *delays, int32_t retry_count);

// Whether an entry stamped at `stamp` is still held back at `clock` by
// `delay`. Elapsed time and delay compare as signed 32-bit numbers, so a
// delay of 2^31 or more never holds back; an elapsed time beyond that range
// saturates.
bool cli_held_back(uint32_t delay, time_t stamp, time_t clock);

// The normal selection walk: asks the scheduler for pending entries (`now`:
// current time, negative for the clock; intervals must have ended) and
// chooses the first one that lies after `*search_start` (when given) and that
// no retry delay holds back, measured from its stamp with the system clock.
// *chosen is the entry or null when none is due. Returns null on success,
// else the reason why a stamp could not be read (*chosen is then null).
const char *cli_select(IcfFile *file, time_t now, const time_t *search_start,
                       const CliDelays *delays, IcfEntry **chosen);
// As cli_select, passing over every entry whose time is one of the
// `skip_count` times in `skip`, which ascend (the intervals a runner has
// already tried).
const char *cli_select_except(IcfFile *file, time_t now,
                              const time_t *search_start,
                              const CliDelays *delays, const time_t *skip,
                              size_t skip_count, IcfEntry **chosen);

// The snapshot walk: the last pending entry, including the interval that has
// begun at `now` (negative: the clock), when its interval is still in
// progress at `now`; otherwise null.
IcfEntry *cli_snapshot(IcfFile *file, time_t now);

// Gives `status` (through the library's status change) to every entry that
// carries the key of `interval`, its first pass: a key in a span the clock
// repeats names two instants, and a file may hold an entry for each. False when
// there is none; otherwise *updated is the time of the latest entry updated.
bool cli_set_status(IcfFile *file, time_t interval, int status,
                    time_t *updated);

// Output line flags, and a buffer size that holds every line.
constexpr int CLI_WITH_PERIOD = 1;
constexpr int CLI_WITH_FLAG = 2;
constexpr size_t CLI_LINE_SIZE = 40;

// Writes the output line, newline included, into buffer[size]: the chosen
// entry's start as "%y%m%d%H%M00" in local time (with its seconds when the
// period is not whole minutes), or "0", then with
// CLI_WITH_PERIOD the table's period and with CLI_WITH_FLAG 1 when the chosen
// entry is on its last retry, else 0. Returns the length, or -1 when it does
// not fit.
int cli_line(char *buffer, size_t size, const IcfTable *table,
             const IcfEntry *chosen, int flags);

// To be called first in main, before anything is opened: a closed
// descriptor 0 or 2 is opened on /dev/null and a closed 1 on /dev/full, so
// that no file the program opens becomes a standard stream (a message would
// land in the checkpoint file) and a line for a closed output counts as
// lost. Ignores SIGXFSZ, so that a write beyond a file-size limit fails and
// is reported instead of killing the run; SIGPIPE likewise, through a
// handler that a program it starts does not inherit. False when a descriptor
// could not be opened: the program must not go on.
bool cli_guard_stdio();

// Flushes standard output. False when some output could not be written: the
// caller reports Cli_Output_Failure and exits 1.
bool cli_flush_output();
// Every program's words for output that could not be written.
constexpr char Cli_Output_Failure[] = "Cannot write output";
