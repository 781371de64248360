#include <gtest/gtest.h>

#include "program_test.h"

namespace {

const int Env = setenv("C", CORVANE_BIN, 1);
const std::string H = "PERIOD=3600\nENTRIES=10\nRETRIES=2\n";

TEST(Corvane, CountsRetriesIntoFailureAndResets) {
  const std::string a = H + entry("240110080000", 'n'),
                    z = entry("240110100000", 'n');
  Scratch s(a + entry("240110090000", 'n') + z);
  const struct {
    const char *word;
    char status;
    int count;
  } steps[] = {{"r", 'r', 1},       {"retry", 'r', 2}, {"r", 'x', 3},
               {"r", 'x', 4},       {"a", 'a', 0},     {"r", 'r', 1},
               {"success", 's', 1}, {"x", 'x', 1}};
  for (const auto &st : steps) {
    Ran r = s.run(std::string("$C f 240110090000 ") + st.word);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(unstamped(s.read()),
              unstamped(a + entry("240110090000", st.status, st.count) + z))
        << st.word;
    const std::string f = s.read();  // stamped with the time of the change
    EXPECT_NE(f.substr(f.find("240110090000") + 24, 12), "240101000000");
  }
}

// A file with both 01:30 EDT and 01:30 EST, either or neither; a January `a`
// line, when present, is converted before the key.
TEST(Corvane, RepeatedHourKeyUpdatesBothEntries) {
  const std::string k = "241103013000";
  for (const std::string &w : {std::string(), entry("240115000000", 'a')}) {
    for (int held = 0; held < 4; held++) {
      auto text = [&](char status, int count) {
        return "PERIOD=1800\nENTRIES=100\nRETRIES=2\n" + w +
               entry("241103010000", 's', 0, 1) +
               (held & 1 ? entry(k, status, count, 1) : "") +
               (held & 2 ? entry(k, status, count, 0) : "") +
               entry("241103020000", 'n');
      };
      Scratch s(text('n', 0));
      Ran r = s.run("$C -n -t 241103023000 f " + k + " r");
      EXPECT_EQ(r.status, held ? 0 : 1);
      EXPECT_EQ(r.out, held ? "241103020000\n" : "");  // not the updated
      EXPECT_EQ(r.err, held ? "" : "corvane: No such interval\n");
      EXPECT_EQ(unstamped(s.read()), unstamped(text('r', 1)));
    }
  }
}

// 08:00 is pending but earlier; 10:00 is on its last retry; 12:00 has not
// ended at 12:30. A run fails exactly when it writes to standard error, and
// then leaves the file as it was.
TEST(Corvane, NextIntervalAndErrors) {
  const std::string text =
      H + entry("240110080000", 'n') + entry("240110090000", 'n') +
      entry("240110100000", 'r', 2, -1, ago(0)) + entry("240110110000", 'n');
  const std::string C = "$C -t 240110123000 ", K = " 240110090000 ";
  const std::string extra =
      "corvane: Missing or extra arguments on command line\n";
  const struct {
    std::string line, out, err = "";
  } cases[] = {
      {C + "-n f" + K + "s", "240110100000\n"},
      {C + "-n -p -f f" + K + "s", "240110100000 3600 1\n"},
      {C + "-n -d 600 f" + K + "success", "240110110000\n"},
      {C + "-n -p f 240110110000 x", "0 3600\n"},
      {C + "-p -f -d 600 f" + K + "s", ""},
      {C + "-d " + std::string(64, '1') + " f" + K + "s", "",
       "corvane: Delay string should be less than 64\n"},
      {C + "-d 1,x -q f" + K + "s", "", "Invalid option value for -d: x\n"},
      {C + "-s f" + K + "s", "",
       "corvane: Invalid command-line option \"s\"\n"},
      {C + "-n -t", "", "corvane: Invalid command-line option \"t\"\n"},
      {C + "f" + K, "", extra},
      {C + "f" + K + "s x", "", extra},
      {C + "f" + K + "-n", "", "corvane: Invalid status: -\n"},
      {C + "f" + K + "S", "", "corvane: Invalid status: S\n"},
      {C + "f" + K + "''", "",
       std::string("corvane: Invalid status: \0\n", 27)},
      {C + "g" + K + "s", "", "corvane: Invalid checkpoint file: g\n"},
      {C + "f 240110093000 s", "", "corvane: No such interval\n"},
      {"prlimit --fsize=100 " + C + "-n f" + K + "s", "",
       "corvane: Cannot write checkpoint file: f\n"},
  };
  for (const auto &c : cases) {
    Scratch s(text);
    Ran r = s.run(c.line);
    EXPECT_EQ(r.status, c.err.empty() ? 0 : 1) << c.line;
    EXPECT_EQ(r.out, c.out) << c.line;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(s.read() == text, !c.err.empty()) << c.line;
  }
  Ran r = Scratch().run("$C -n -h -s");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  // "@" stands for the three tabs before the example lines.
  EXPECT_EQ(r.err,
            std::regex_replace(
                R"(Usage: corvane -[options] <filename> <interval> <status>
       corvane -h

Options:
    [-n]            Output next interval that requires processing
    [-p]            Include period in output string (used with -n)
    [-f]            Indicate whether it's the last retry[0|1] in output string
    [-d]            Delays between retries in seconds, separated by ,
@    Example: 600,1800,3600
@    This means wait for 600 seconds before 1st retry,
@    1800 seconds before 2nd retry,
@    3600 seconds before 3rd retry.
    [-t time]       Current local time, used with -n (yymmddhhmmss,
                        Default: current system local time)

Arguments:
    <filename>      Interval checkpoint filename
    <interval>      Interval whose status will be changed (yymmddhhmmss)
    <status>        New status value
                        's' = successful completion
                        'r' = retry needed
                        'a' = process interval again
                        'x' = processing failed

)",
                std::regex("@"), "\t\t\t"));
}

}  // namespace
