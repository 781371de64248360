// Running the built programs as a user would, and reading checkpoint files
// back, for the reliability tests.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

// The zone of every test and child: US Eastern time, without zone files.
constexpr char Test_Zone[] = "EST5EDT,M3.2.0,M11.1.0";

// Where a child's output goes and what it starts under.
struct ChildSetup {
  std::string out, err;          // files for stdout and stderr
  rlim_t fsize = RLIM_INFINITY;  // RLIMIT_FSIZE, with SIGXFSZ ignored
  int gate = -1;                 // read end of a pipe: start on a byte
};

// Starts argv[0] (a path) with TZ set to Test_Zone.
pid_t child_start(const std::vector<std::string> &argv, const ChildSetup &s);
// Waits for a child: its exit status, or 128 + the signal that ended it.
int child_wait(pid_t pid);

struct Outcome {
  int status;
  std::string out, err;
};
// Runs a program to its end in `dir`'s scratch files.
Outcome child_run(const std::string &dir, const std::vector<std::string> &argv,
                  rlim_t fsize = RLIM_INFINITY);

// A scratch directory, removed with everything in it.
struct TempDir {
  std::string path;
  TempDir();
  ~TempDir();
  std::string operator/(const std::string &name) const;
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &text);

constexpr time_t Jan1 = 1704085200;  // 2024-01-01 00:00 EST

// The key of a time in the test zone.
std::string key_of(time_t t);
// A checkpoint file of quarter-hours with 3 retries: `count` new entries
// from Jan1 on, in a ring of `capacity`.
std::string quarter_hours(int count, int capacity);

// Whether a checkpoint file is healthy: it opens, every entry line is a
// whole 42-byte line, and the entries are in ascending time. On failure,
// *why says what is wrong.
bool healthy(const std::string &path, std::string *why);
