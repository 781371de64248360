// runner: the helper of bench/compare and bench/catchup.
//
//   runner make FILE PERIOD ENTRIES NEWEST
//     writes a checkpoint file of ENTRIES completed entries, the newest
//     starting at the local key NEWEST, the others PERIOD seconds apart.
//   runner race RUNS TEMPLATE FILE A... --- B... [--- C...]
//     runs the commands RUNS times each, interleaved and in changing order,
//     with FILE restored from TEMPLATE before every run, and prints each
//     command's median wall time, median CPU time (user and system) and
//     peak resident memory. A command's first word may be @LABEL, the name
//     it is printed under.
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
  double us, cpu_us;
  long maxrss_kib;
};

double micros(const timeval &t) { return t.tv_sec * 1e6 + t.tv_usec; }

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
  out->cpu_us = micros(usage.ru_utime) + micros(usage.ru_stime);
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
  std::vector<std::vector<char *>> cmd(1);
  std::vector<std::string> label;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "---") == 0)
      cmd.emplace_back();
    else if (cmd.back().empty() && argv[i][0] == '@')
      label.resize(cmd.size()), label.back() = argv[i] + 1;
    else
      cmd.back().push_back(argv[i]);
  }
  const size_t n = cmd.size();
  label.resize(n);
  for (size_t c = 0; c < n; ++c) {
    if (cmd[c].empty()) {
      std::fprintf(stderr, "runner: race needs two or more commands\n");
      return 1;
    }
    if (label[c].empty()) {
      const char *name = std::strrchr(cmd[c][0], '/');
      label[c] = name ? name + 1 : cmd[c][0];
    }
    cmd[c].push_back(nullptr);
  }
  if (n < 2) {
    std::fprintf(stderr, "runner: race needs two or more commands\n");
    return 1;
  }
  const std::string text = slurp(template_path);
  std::vector<std::vector<double>> times(n), cpu(n);
  std::vector<long> maxrss(n, 0);
  for (int i = 0; i < runs; ++i) {
    for (size_t k = 0; k < n; ++k) {
      // Rotated, and reversed every other round: no command always runs
      // first or always after the same one.
      const size_t base = static_cast<size_t>(i / 2) % n;
      const size_t c = (i % 2 ? base + n - 1 - k : base + k) % n;
      Run r;
      if (!restore(path, text) || !run(cmd[c], &r)) {
        std::fprintf(stderr, "runner: %s failed\n", label[c].c_str());
        return 1;
      }
      times[c].push_back(r.us);
      cpu[c].push_back(r.cpu_us);
      maxrss[c] = std::max(maxrss[c], r.maxrss_kib);
    }
  }
  for (size_t c = 0; c < n; ++c)
    std::printf("%-12s wall %9.1f us   cpu %9.1f us   peak RSS %7ld KiB\n",
                label[c].c_str(), median(times[c]), median(cpu[c]), maxrss[c]);
  std::printf("(medians of %d runs each)\n", runs);
  return 0;
}

}  // namespace

int main(int argc, char *argv[]) {
  if (argc == 6 && std::strcmp(argv[1], "make") == 0)
    return make(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), argv[5]);
  if (argc >= 7 && std::strcmp(argv[1], "race") == 0)
    return race(std::atoi(argv[2]), argv[3], argv[4], argc - 5, argv + 5);
  std::fprintf(
      stderr,
      "usage: runner make FILE PERIOD ENTRIES NEWEST\n"
      "       runner race RUNS TEMPLATE FILE A... --- B... [--- C...]\n");
  return 1;
}
