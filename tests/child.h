// The reliability tests' side of the program tests' support: children
// started and killed by hand, big checkpoint files, and a health check.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <vector>

#include "libicf.h"
#include "program_test.h"

constexpr time_t Jan1 = 1704085200;  // 2024-01-01 00:00 EST

inline std::string key_of(time_t t) {
  char key[13];
  return icf_cnv_time_str(t, key) ? key : "";
}

// `count` new quarter-hours from Jan1 on, 3 retries, a ring of `capacity`.
inline std::string quarter_hours(int count, int capacity) {
  std::string text =
      "PERIOD=900\nENTRIES=" + std::to_string(capacity) + "\nRETRIES=3\n";
  for (int i = 0; i < count; i++) text += entry(key_of(Jan1 + 900 * i), 'n');
  return text;
}

// Starts argv[0] with its output in dir/<n>.out and dir/<n>.err; with a
// gate, once a byte can be read from it.
inline pid_t spawn(const std::vector<std::string> &argv, const std::string &dir,
                   size_t n = 0, int gate = -1) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  char go;
  std::string io = dir + "/" + std::to_string(n);
  int out = open((io + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int err = open((io + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if ((gate >= 0 && read(gate, &go, 1) != 1) || dup2(out, 1) < 0 ||
      dup2(err, 2) < 0)
    _exit(126);
  std::vector<char *> args;
  for (const std::string &a : argv)
    args.push_back(const_cast<char *>(a.data()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

// The exit status, or 128 + the signal that ended the child.
inline int reap(pid_t pid) {
  int status;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// What is wrong with a checkpoint file: it does not open, its entries do
// not ascend, or an entry line is torn. Empty when it is healthy.
inline std::string unhealthy(const std::string &path) {
  IcfFile f;
  if (!icf_open_readonly(&f, "TEST", path.c_str())) return "does not open";
  const IcfTable &t = f.table;
  bool sorted = true;
  for (int32_t i = t.first; t.first >= 0 && i != t.last;
       i = (i + 1) % t.capacity)
    sorted &= t.entries[i].time < t.entries[(i + 1) % t.capacity].time;
  icf_close(&f);
  if (!sorted) return "entries out of order";
  std::ifstream text(path);
  std::string l;
  for (int n = 1; std::getline(text, l); n++)
    if (n > 3 && (l.size() != 41 || l[12] != ' ' || l[21] != ' ' ||
                  l[23] != ' ' || l[36] != ' ' ||
                  l.find_first_not_of("0123456789abcdef nsrax") != l.npos))
      return "torn line " + std::to_string(n) + ": " + l;
  return "";
}
