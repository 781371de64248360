// Shell lines that run the built programs in a scratch directory.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

// The zone of the test and of the programs it runs: a spring gap 02:00-03:00
// on 10 March 2024 and an autumn repeat 01:00-02:00 on 3 November.
inline const int ZoneSet =
    (setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1), tzset(), 0);

struct Ran {
  int status;
  std::string out, err;
};

// A scratch directory whose checkpoint file is "f", removed with it.
struct Scratch {
  std::string dir;
  explicit Scratch(const std::string &text = "") {
    char name[] = "/tmp/icfprogXXXXXX";
    dir = mkdtemp(name);
    if (!text.empty()) std::ofstream(dir + "/f", std::ios::binary) << text;
  }
  ~Scratch() { std::filesystem::remove_all(dir); }
  std::string read(const std::string &name = "f") const {
    return (std::ostringstream()
            << std::ifstream(dir + "/" + name, std::ios::binary).rdbuf())
        .str();
  }
  // Runs a shell line here with SIGXFSZ ignored, so that a write beyond
  // `prlimit --fsize` fails instead of killing the program.
  Ran run(const std::string &line) const {
    std::string sh = "cd " + dir + " && trap '' XFSZ && { " + line + "; }";
    int rc = std::system((sh + " >.out 2>.err").c_str());
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, read(".out"), read(".err")};
  }
};

// The instant of a local key; `dst` picks the pass of a repeated hour.
inline time_t at(const std::string &key, int dst = -1) {
  std::tm tm{};
  strptime(key.c_str(), "%y%m%d%H%M%S", &tm);
  tm.tm_isdst = dst;
  return mktime(&tm);
}

// For update stamps, which the delays compare with the real clock.
inline std::string ago(long age) {
  time_t t = time(nullptr) - age;
  std::tm tm;
  char key[13];
  std::strftime(key, sizeof key, "%y%m%d%H%M%S", localtime_r(&t, &tm));
  return key;
}

inline std::string entry(const std::string &key, char status, int count = 0,
                         int dst = -1, std::string stamp = "240101000000") {
  char line[64];
  std::snprintf(line, sizeof line, "%s %8x %c %s %04d\n", key.c_str(),
                static_cast<unsigned>(at(key, dst)), status, stamp.c_str(),
                count);
  return line;
}

// Around the end of summer time 2024: 01:30 EDT, 01:45 EDT, 02:00 EST. The
// 01:45 interval ends at 02:00 EST, since the repeated hour has none.
inline const std::string Healthy =
    "PERIOD=900\nENTRIES=4\nRETRIES=2\n"
    "241103013000 67270a58 s 241103015007 0000\n"
    "241103014500 67270ddc r 241103030211 0001\n"
    "241103020000 67271f70 n 241103031500 0000\n";

// Throws when there is no `from`.
inline std::string edit(std::string text, const std::string &from,
                        const std::string &to) {
  return text.replace(text.find(from), from.size(), to);
}

// A run on a file: its shell line, what it prints, and the entries a
// quenlor run appends. A run fails exactly when it writes to standard
// error, and then leaves the file as it was; only corvane changes it else.
struct RunCase {
  std::string text, line, out, err = "";
  size_t added = 0;
};
template <size_t N>
void expect_runs(const RunCase (&cases)[N]) {
  for (const RunCase &t : cases) {
    Scratch s(t.text);
    Ran r = s.run(t.line);
    EXPECT_EQ(r.status, t.err.empty() ? 0 : 1) << t.line;
    EXPECT_EQ(r.out + r.err, t.out + t.err) << t.line;
    const bool update = t.err.empty() && t.line.starts_with("$C");
    EXPECT_EQ(s.read().size(), t.text.size() + 42 * t.added) << t.line;
    EXPECT_EQ(s.read() != t.text, update || t.added) << t.line;
  }
}

inline std::string unstamped(const std::string &text) {
  return std::regex_replace(text, std::regex(" (.) \\d{12} "), " $1 ");
}
