// runner: the helper of bench/compare and bench/catchup.
//
//   runner make FILE PERIOD ENTRIES NEWEST
//     writes a checkpoint file of ENTRIES completed entries, the newest
//     starting at the local key NEWEST, the others PERIOD seconds apart.
//   runner race RUNS TEMPLATE FILE A... --- B...
//     runs the commands A and B RUNS times each, alternating and swapping
//     which goes first, with FILE restored from TEMPLATE before every run,
//     and prints each command's median wall time and peak resident memory
//     and the ratio of the medians.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "libicf.h"

namespace {

int make(const char *path, int32_t period, int32_t entries,
         const char *newest) {
  time_t last;
  if (icf_cnv_time(newest, &last) != nullptr) {
    std::fprintf(stderr, "runner: bad key %s\n", newest);
    return 1;
  }
  IcfFile file;
  if (!icf_create(path, period, entries, 3) ||
      !icf_open(&file, "runner", path)) {
    std::fprintf(stderr, "runner: cannot create %s\n", path);
    return 1;
  }
  for (int32_t i = entries - 1; i >= 0; --i) {
    const time_t t = last - static_cast<time_t>(i) * period;
    char key[13], stamp[13];
    icf_cnv_time_str(t, key);
    icf_cnv_time_str(t + period, stamp);
    icf_entry_new(&file.table, t, key, stamp, 's', 0);
  }
  const int ok = icf_commit(&file);
  icf_close(&file);
  if (!ok) std::fprintf(stderr, "runner: cannot write %s\n", path);
  return ok ? 0 : 1;
}

std::string slurp(const char *path) {
  std::string text;
  FILE *f = std::fopen(path, "rb");
  if (f == nullptr) return text;
  char buf[65536];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
    text.append(buf, n);
  std::fclose(f);
  return text;
}

bool restore(const char *path, const std::string &text) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  bool ok =
      write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return close(fd) == 0 && ok;
}

struct Run {
  double us;
  long maxrss_kib;
};

// Runs argv with its output thrown away; false unless it exits with 0.
bool run(std::vector<char *> &argv, Run *out) {
  timespec t0, t1;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status;
  rusage usage;
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return false;
  clock_gettime(CLOCK_MONOTONIC, &t1);
  out->us = (t1.tv_sec - t0.tv_sec) * 1e6 + (t1.tv_nsec - t0.tv_nsec) / 1e3;
  out->maxrss_kib = usage.ru_maxrss;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

int race(int runs, const char *template_path, const char *path, int argc,
         char **argv) {
  std::vector<char *> cmd[2];
  int which = 0;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "---") == 0 && which == 0)
      which = 1;
    else
      cmd[which].push_back(argv[i]);
  }
  if (cmd[0].empty() || cmd[1].empty()) {
    std::fprintf(stderr, "runner: race needs two commands\n");
    return 1;
  }
  cmd[0].push_back(nullptr);
  cmd[1].push_back(nullptr);
  const std::string text = slurp(template_path);
  std::vector<double> times[2];
  long maxrss[2] = {0, 0};
  for (int i = 0; i < runs; ++i) {
    for (int k = 0; k < 2; ++k) {
      const int c = (i % 2) ^ k;  // ABBA: neither always goes first
      Run r;
      if (!restore(path, text) || !run(cmd[c], &r)) {
        std::fprintf(stderr, "runner: %s failed\n", cmd[c][0]);
        return 1;
      }
      times[c].push_back(r.us);
      maxrss[c] = std::max(maxrss[c], r.maxrss_kib);
    }
  }
  double m[2] = {median(times[0]), median(times[1])};
  for (int c = 0; c < 2; ++c) {
    const char *name = std::strrchr(cmd[c][0], '/');
    std::printf("%-10s median %8.1f us   peak RSS %6ld KiB\n",
                name ? name + 1 : cmd[c][0], m[c], maxrss[c]);
  }
  std::printf("ratio      %.3f (median of %d runs each)\n", m[0] / m[1], runs);
  return 0;
}

}  // namespace

int main(int argc, char *argv[]) {
  if (argc == 6 && std::strcmp(argv[1], "make") == 0)
    return make(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), argv[5]);
  if (argc >= 7 && std::strcmp(argv[1], "race") == 0)
    return race(std::atoi(argv[2]), argv[3], argv[4], argc - 5, argv + 5);
  std::fprintf(stderr,
               "usage: runner make FILE PERIOD ENTRIES NEWEST\n"
               "       runner race RUNS TEMPLATE FILE A... --- B...\n");
  return 1;
}
