// Test support for the program tests: runs a built program as a user would
// (arguments, TZ, a file-size limit) and writes and reads checkpoint files.
#pragma once

#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

// A zone with a spring gap 02:00-03:00 and an autumn repeat 01:00-02:00.
constexpr const char *Zone = "EST5EDT,M3.2.0,M11.1.0";

// "@" in an argument or an expected text stands for the file's path.
inline std::string at_path(std::string s, const std::string &path) {
  for (size_t i; (i = s.find('@')) != std::string::npos;) s.replace(i, 1, path);
  return s;
}

struct Ran {
  int status;  // exit status, or 128 + signal
  std::string out, err;
};

// Runs `bin` with `args` and TZ=Zone; `fsize` >= 0 limits the size of the
// files it writes, with SIGXFSZ ignored so that the writes fail.
inline Ran run(const char *bin, const std::vector<std::string> &args,
               const std::string &path = "", long fsize = -1) {
  int pipes[2][2];
  if (pipe(pipes[0]) != 0 || pipe(pipes[1]) != 0) return {-1, "", "pipe"};
  pid_t pid = fork();
  if (pid == 0) {
    dup2(pipes[0][1], 1);
    dup2(pipes[1][1], 2);
    setenv("TZ", Zone, 1);
    if (fsize >= 0) {
      signal(SIGXFSZ, SIG_IGN);
      rlimit limit{static_cast<rlim_t>(fsize), static_cast<rlim_t>(fsize)};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    std::vector<std::string> words{bin};
    for (const std::string &a : args) words.push_back(at_path(a, path));
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    execv(bin, argv.data());
    _exit(127);
  }
  // The programs write a line or two: both fit the pipes until the exit.
  int st;
  waitpid(pid, &st, 0);
  Ran r{WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st), "", ""};
  for (int i = 0; i < 2; i++) {
    close(pipes[i][1]);
    char buf[65536];
    for (ssize_t n; (n = read(pipes[i][0], buf, sizeof buf)) > 0;)
      (i ? r.err : r.out).append(buf, n);
    close(pipes[i][0]);
  }
  return r;
}

// The instant of a local key in Zone; `dst` picks the pass of a repeated
// hour.
inline time_t at(const std::string &key, int dst = -1) {
  setenv("TZ", Zone, 1);
  tzset();
  std::tm tm{};
  std::sscanf(key.c_str(), "%2d%2d%2d%2d%2d%2d", &tm.tm_year, &tm.tm_mon,
              &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &tm.tm_sec);
  tm.tm_year += tm.tm_year < 69 ? 100 : 0;
  tm.tm_mon -= 1;
  tm.tm_isdst = dst;
  return mktime(&tm);
}

// The key of the real clock `age` seconds ago, for update stamps.
inline std::string ago(long age) {
  setenv("TZ", Zone, 1);
  tzset();
  time_t t = time(nullptr) - age;
  std::tm tm;
  char key[32];
  std::strftime(key, sizeof key, "%y%m%d%H%M%S", localtime_r(&t, &tm));
  return key;
}

inline std::string header(int period, int entries, int retries) {
  return "PERIOD=" + std::to_string(period) +
         "\nENTRIES=" + std::to_string(entries) +
         "\nRETRIES=" + std::to_string(retries) + "\n";
}

// One entry line as the library writes it.
inline std::string entry(const std::string &key, char status,
                         const std::string &stamp = "240101000000",
                         int retry_count = 0, int dst = -1) {
  char line[64];
  std::snprintf(line, sizeof line, "%s %8x %c %s %04d\n", key.c_str(),
                static_cast<unsigned>(at(key, dst)), status, stamp.c_str(),
                retry_count);
  return line;
}

// The entry lines of a checkpoint text without their stamps, which the
// programs take from the real clock: "key hex status count".
inline std::vector<std::string> unstamped(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  for (int i = 0; std::getline(in, line); i++)
    if (i >= 3) lines.push_back(line.substr(0, 24) + line.substr(37));
  return lines;
}

// A checkpoint file in a fresh directory, removed with it.
struct TempFile {
  std::string dir, path;
  explicit TempFile(const std::string &text) {
    char tmpl[] = "/tmp/icfprogXXXXXX";
    dir = mkdtemp(tmpl);
    path = dir + "/job.icf";
    std::ofstream(path, std::ios::binary) << text;
  }
  ~TempFile() { std::filesystem::remove_all(dir); }
  std::string read() const {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
};
