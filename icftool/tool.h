// What the icftool commands share: the program name and messages, option
// parsing, status words, time texts and JSON quoting, and the entry counts.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "libicf.h"

extern const char *Prog;
// parse_flags' result when the command goes on.
constexpr int kGoOn = -1;

// The usage text, on standard error.
void usage();
// Prints "icftool: " and the message and a newline on standard error; 1.
__attribute__((format(printf, 1, 2))) int fail(const char *format, ...);
// Parses -h and the command's own flag `letter` (0: none) from argv, whose
// first word is the command. Returns kGoOn with optind at the first operand,
// or the exit status.
int parse_flags(int argc, char **argv, char letter, bool *flag);
// Prints why icf_open or icf_open_readonly failed on `path`, as every
// command words it: busy, cannot open (with the system's reason), or invalid;
// returns 1.
int open_failure(const IcfFile &file, const char *path);
// Flushes standard output; on failure prints "Cannot write output"; the exit
// status for a command whose work is done.
int finish_output();
// A whole decimal word that fits 32 bits and is at least `low`.
bool number(const char *text, int32_t low, int32_t *value);
// The interval key that the programs write for time t ("" when none).
std::string key_of(time_t t);
// "YYYY-MM-DD HH:MM:SS ZONE" in local time, or "?".
std::string local_time(time_t t);

// The status letters and the words show uses for them.
constexpr char kLetters[] = "nsrax";
extern const char *const kWords[];
constexpr int kUnknown = 5;
// The index of a status letter in kLetters, or kUnknown.
int status_index(int status);
// A status letter in quotes, with an unprintable byte in hexadecimal.
std::string letter_text(int status);
// The word of a status letter, or "unknown 'c'".
std::string status_text(int status);
inline bool is_pending(int status) { return status != 's' && status != 'x'; }
// A JSON string; bytes that are not UTF-8 become code points of their value.
std::string quote(std::string_view s);

struct Counts {
  int total;
  int by_status[kUnknown + 1];  // in the order of kLetters, then unknown
  const IcfEntry *oldest_pending;
};
Counts count(const IcfTable &table);

// The commands: each takes the argument vector from its own name on and
// returns the exit status.
int cmd_create(int argc, char **argv);
int cmd_show(int argc, char **argv);
int cmd_check(int argc, char **argv);
int cmd_run(int argc, char **argv);
