// What the icftool commands share: the program name and messages, option
// parsing, status words, time texts and JSON quoting, and the entry counts.
#pragma once

#include <bitset>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "cli.h"
#include "libicf.h"

extern const char *Prog;

// What the options of the commands set, from the command table; each
// command reads the fields of its own options.
struct Settings {
  bool force = false;                     // create -f
  bool json = false;                      // show -j
  bool dry_run = false;                   // mark -n
  time_t now = -1;                        // -t; negative: the clock
  time_t start = -1;                      // create -s; negative: none
  int32_t max_lag = -1, max_failed = -1;  // check -l, -x; negative: off
  const char *out = nullptr;              // metrics -o
  char only = 0;                          // mark -o; 0: any status
  CliDelays delays{};                     // run's
  std::bitset<256> give_up;  // exit statuses that record 'x' at once
  int32_t timeout = 0, grace = 10, max = 0, wait = 0, jobs = 1, batch = 1;
  std::vector<const char *> upstreams;  // run, show and check -a
  std::bitset<256> not_ready;  // exit statuses that leave the interval be
  bool in_order = false;       // run -o
  int32_t deadline = -1;       // run -D; negative: none
};

// Prints why `path` could not be opened or loaded, as every command words
// it (busy, not a regular file, the system's reason, or invalid); 1.
int open_failure(const IcfFailure &failure, const char *path);
// Flushes standard output; on failure prints "Cannot write output"; the exit
// status for a command whose work is done.
int finish_output();
// A whole decimal word that fits 32 bits and is at least `low`.
bool number(const char *text, int32_t low, int32_t *value);
// The interval key that the programs write for time t ("" when none).
std::string key_of(time_t t);
// How local_time writes a time: as show and mark print it, or as the
// runner hands it to the commands.
enum class TimeForm {
  Shown,  // "2024-11-03 01:00:00 EDT", or "?"
  Iso,    // "2024-11-03T01:00:00-04:00", or ""
};
std::string local_time(time_t t, TimeForm form = TimeForm::Shown);

// The status letters and the words show uses for them.
constexpr char Status_Letters[] = "nsrax";
extern const char *const Status_Words[];
constexpr int Unknown_Status = 5;
// The index of a status letter in Status_Letters, or Unknown_Status.
int status_index(int status);
// A status letter in quotes, with an unprintable byte in hexadecimal.
std::string letter_text(int status);
// The word of a status letter, or "unknown 'c'".
std::string status_text(int status);
// A JSON string; bytes that are not UTF-8 become code points of their value.
std::string quote(std::string_view s);
// A file name as valid UTF-8 that still tells names apart: a byte that is
// not UTF-8 becomes \xHH, so a backslash becomes \\.
std::string name_text(std::string_view s);

// The bytes of a file as icf_inspect reads them, freed with this.
struct Bytes {
  char *data = nullptr;
  size_t size = 0;
  Bytes() = default;
  Bytes(const Bytes &) = delete;
  Bytes &operator=(const Bytes &) = delete;
  ~Bytes();
};
// The bytes of `path` (icf_inspect), read under the shared lock that is let
// go again. False, with the message in *why, when it could not be read.
bool inspect(const char *path, Bytes *bytes, std::string *why);
bool inspect(const char *path, std::string *text, std::string *why);
// An interval key or its leading fields (yymm...) that name a local time,
// as its first pass in a repeated hour.
bool key_option(const char *text, time_t *t);
// "1 entry", "2 entries".
std::string entries_text(int n);

// The table that the programs would load from a text, tallied as one pass
// of their reader meets the records: they keep the newest ENTRIES.
struct Tally {
  IcfTable header{};    // PERIOD, ENTRIES and RETRIES as read
  int64_t records = 0;  // records read
  int total = 0;        // in the table
  int by_status[Unknown_Status + 1] = {};  // Status_Letters, then unknown
  bool pending = false;                    // an entry is pending:
  time_t oldest_pending = 0;               //   the oldest of them
  char oldest_key[13] = "";
  bool done = false;     // an entry is done:
  time_t last_done = 0;  //   the newest of them
  time_t newest = 0;     // the newest entry's start, when total > 0
  IcfSurvey survey;

  explicit Tally(const IcfTable &h = {});
  // Starts afresh on a text with this header.
  void begin(const IcfTable &h);
  ~Tally();
  Tally(const Tally &) = delete;
  Tally &operator=(const Tally &) = delete;
  // One more record, with its time as a load gives it.
  void add(const IcfRecord &record, time_t time);
  // After the pass: where the text held more records than ENTRIES, the
  // table is only the newest of them, counted again from `first` (the
  // reader at the first record). False when memory ran out.
  bool settle(IcfReader first);
  void due(time_t now, IcfDue *due) const;
};

// What check measures beyond the file's soundness; negative limits are off.
struct Limits {
  int64_t max_lag = -1;     // seconds past the end of the oldest pending
  int64_t max_failed = -1;  // entries with status x
  time_t now = -1;          // negative: the clock
  bool zone = false;        // the TZ is judged too, and that first
};
// Now minus the end of the oldest due interval (icf_due at `now`), 0 when
// none is due.
int64_t lag_of(const IcfDue &due, time_t now);
// check on checkpoint text read from `path`: the findings, then the limits'
// breaches measured on the table that the programs would load from it, one
// line each on `out` (null: not printed). Returns how many. With `tally`,
// also that table, and whether the programs load the text at all.
int check_text(const char *path, std::string_view text, const Limits &limits,
               FILE *out, Tally *tally = nullptr, bool *loads = nullptr);

// The commands: each takes the settings its options gave and its
// `count` operands, as many as the command table allows, and returns the exit
// status.
int cmd_create(const Settings &s, int count, char **operands);
int cmd_show(const Settings &s, int count, char **operands);
int cmd_check(const Settings &s, int count, char **operands);
int cmd_metrics(const Settings &s, int count, char **operands);
int cmd_mark(const Settings &s, int count, char **operands);
int cmd_edit(const Settings &s, int count, char **operands);
int cmd_run(const Settings &s, int count, char **operands);
