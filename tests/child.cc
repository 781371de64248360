#include "child.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "libicf.h"

// The test process reads keys in the same zone as its children.
[[maybe_unused]] static const bool Zone_Set = [] {
  setenv("TZ", Test_Zone, 1);
  tzset();
  return true;
}();

pid_t child_start(const std::vector<std::string> &argv, const ChildSetup &s) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  char go;
  if (s.gate >= 0 && read(s.gate, &go, 1) != 1) _exit(125);
  int out = open(s.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int err = open(s.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (out < 0 || err < 0) _exit(126);
  dup2(out, 1);
  dup2(err, 2);
  if (s.fsize != RLIM_INFINITY) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit = {s.fsize, s.fsize};
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  setenv("TZ", Test_Zone, 1);
  std::vector<char *> args;
  for (const std::string &a : argv)
    args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

int child_wait(pid_t pid) {
  int status;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

Outcome child_run(const std::string &dir, const std::vector<std::string> &argv,
                  rlim_t fsize) {
  ChildSetup s{dir + "/stdout", dir + "/stderr", fsize, -1};
  int status = child_wait(child_start(argv, s));
  return {status, read_file(s.out), read_file(s.err)};
}

TempDir::TempDir() {
  const char *base = getenv("TMPDIR");
  std::string templ =
      std::string(base != nullptr ? base : "/tmp") + "/icf-test-XXXXXX";
  path = mkdtemp(templ.data()) != nullptr ? templ : "";
}
TempDir::~TempDir() { std::filesystem::remove_all(path); }
std::string TempDir::operator/(const std::string &name) const {
  return path + "/" + name;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_file(const std::string &path, const std::string &text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string key_of(time_t t) {
  char key[13];
  return icf_cnv_time_str(t, key) ? key : "";
}

std::string quarter_hours(int count, int capacity) {
  std::string text =
      "PERIOD=900\nENTRIES=" + std::to_string(capacity) + "\nRETRIES=3\n";
  for (time_t t = Jan1; t < Jan1 + 900 * count; t += 900) {
    char line[64];
    std::snprintf(line, sizeof line, "%s %8x n %s 0000\n", key_of(t).c_str(),
                  static_cast<unsigned>(t), key_of(t).c_str());
    text += line;
  }
  return text;
}

static bool whole_line(const std::string &l) {
  auto digits = [&](size_t from, size_t n) {
    for (size_t i = from; i < from + n; i++)
      if (l[i] < '0' || l[i] > '9') return false;
    return true;
  };
  if (l.size() != 41 || !digits(0, 12) || !digits(24, 12) || !digits(37, 4))
    return false;
  for (size_t i = 13; i < 21; i++)
    if (!isxdigit(static_cast<unsigned char>(l[i])) && l[i] != ' ')
      return false;
  return l[12] == ' ' && l[21] == ' ' && l[23] == ' ' && l[36] == ' ' &&
         std::string("nsrax").find(l[22]) != std::string::npos;
}

bool healthy(const std::string &path, std::string *why) {
  IcfFile file;
  if (!icf_open_readonly(&file, "TEST", path.c_str())) {
    *why = "does not open";
    return false;
  }
  const IcfTable &t = file.table;
  bool sorted = true;
  for (int32_t i = t.first; t.first >= 0 && i != t.last;
       i = (i + 1) % t.capacity)
    sorted = sorted && t.entries[i].time < t.entries[(i + 1) % t.capacity].time;
  icf_close(&file);
  if (!sorted) {
    *why = "entries out of order";
    return false;
  }
  std::istringstream text(read_file(path));
  std::string line;
  for (int n = 0; std::getline(text, line); n++) {
    if (n >= 3 && !whole_line(line)) {
      *why = "torn line " + std::to_string(n + 1) + ": " + line;
      return false;
    }
  }
  return true;
}
