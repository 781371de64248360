#include <gtest/gtest.h>

#include "program_test.h"

namespace {

const int Env = setenv("Q", QUENLOR_BIN, 1);
const std::string H = "PERIOD=3600\nENTRIES=10\nRETRIES=2\n";
const std::string First = "240110090000\n", Second = "240110100000\n";

// 09:00 retried `count` times `age` seconds ago by the real clock; 10:00 new.
std::string retried(int count, long age) {
  return "PERIOD=3600\nENTRIES=10\nRETRIES=80\n" +
         entry("240110090000", 'r', count, -1, ago(age)) +
         entry("240110100000", 'n');
}

// -t 240110113000 first: 10:00 has not ended, and 2024 times never enter the
// delay test, which reads the system clock. A run fails exactly when it
// writes to standard error; the file is then as it was, as it is after a
// run that appends nothing.
TEST(Quenlor, RunsAndErrors) {
  const std::string text = H + entry("240110080000", 's') +
                           entry("240110090000", 'r', 2) +
                           entry("240110100000", 'n');
  const std::string one = H + entry("240110100000", 'n');
  const std::string Q = "$Q -t 240110113000 ", d3 = "-d 600,1800,3600 f",
                    d60 = "-d " + std::string(59, ',') + "0x1e f";  // 60 items
  const std::string exclusive =
      "quenlor: Options '-n' and '-s' are exclusive\n";
  const struct {
    std::string text, line, out, err = "";
    size_t added = 0;  // entries appended
  } cases[] = {
      {text, Q + "f", First},
      {text, Q + "-p f", "240110090000 3600\n"},
      {text, Q + "-f f", "240110090000 1\n"},
      {text, Q + "-fp -n 240110090000 f", "240110100000 3600 0\n"},
      {text, Q + "-n 240110100000 f", "0\n"},
      {text, Q + "-p -f -n 240110100000 f", "0 3600 0\n"},
      {retried(2, 1000), Q + d3, Second},
      {retried(2, 2000), Q + d3, First},
      {retried(5, 3000), Q + d3, Second},  // the last delay repeats
      {retried(70, 0), Q + d60, Second},   // beyond the 64 slots: the last
      {retried(1, 0), Q + "-d 4294967295 f", First},  // negative: no wait
      {retried(0, 0), Q + "-d 600 f", First},
      {one, Q + "-s -t 240110103000 f", Second},
      {one, Q + "-s -t 240110111000 f", "240110110000\n", "", 1},  // begun
      {H + entry("240110090000", 'n') + entry("240110100000", 's'),
       Q + "-s -t 240110103000 f", "0\n"},
      {one, Q + "-n 240110090000 -s f", "", exclusive},
      {one, Q + "-s -n 240110090000 f", "", exclusive},
      {one, Q + "-d " + std::string(64, '1') + " f", "",
       "quenlor: Delay string should be less than 64\n"},
      {one, Q + "-d 600,abc -x f", "", "Invalid option value for -d: abc\n"},
      {one, Q + "-x -d abc f", "",
       "quenlor: Invalid command-line option \"x\"\n"},
      {one, Q + "-p -t", "", "quenlor: Invalid command-line option \"t\"\n"},
      {one, Q + "-p", "", "quenlor: Checkpoint file not specified\n"},
      {one, "TZ=UTC0 " + Q + "-t 691231235959 f", "",  // -1 fails
       "quenlor: Current time, invalid interval value\n"},
      {one, Q + "f -p", "", "quenlor: Extra arguments on command line\n"},
      {one, Q + "g", "", "quenlor: Invalid checkpoint file: g\n"},
      {one, "prlimit --fsize=100 $Q -t 240110140500 f", "",
       "quenlor: Cannot write checkpoint file: f\n"},
  };
  for (const auto &c : cases) {
    Scratch s(c.text);
    Ran r = s.run(c.line);
    EXPECT_EQ(r.status, c.err.empty() ? 0 : 1) << c.line;
    EXPECT_EQ(r.out, c.out) << c.line;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(s.read().size(), c.text.size() + 42 * c.added) << c.line;
    EXPECT_TRUE(c.added || s.read() == c.text) << c.line;
  }
  Ran r = Scratch().run("$Q -p -h -x");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  // "@" stands for the three tabs before the example lines.
  EXPECT_EQ(r.err, std::regex_replace(R"(Usage: quenlor -[options] <filename>
       quenlor -h

Options:
    [-n interval | s]  Start search for interval which needs processing
                            with next interval after this (-n yymmddhhmmss)
                            or snapshot of current active interval only (-s,
                            Default: first entry in file)
    [-p]                Include period in output string
    [-f]                Indicate whether it's the last retry[0|1] in output string
    [-d]                Delays between retries in seconds, separated by ,
@    Example: 600,1800,3600
@    This means wait for 600 seconds before 1st retry,
@    1800 seconds before 2nd retry,
@    3600 seconds before 3rd retry.
    [-t time]           Current local time (yymmddhhmmss,
                            Default: current system local time)

Arguments:
    <filename>          Interval checkpoint filename

)",
                                      std::regex("@"), "\t\t\t"));
}

// -t names the earlier instant of a repeated hour, also right after a winter
// time was converted (on the command line and from an `a` line).
TEST(Quenlor, RepeatedHourTimeIsTheEarlierInstant) {
  std::string h = "PERIOD=900\nENTRIES=100\nRETRIES=2\n", added;
  for (const char *k : {"0015", "0030", "0045", "0100", "0115"})
    added += entry(std::string("241103") + k + "00", 'n', 0, 1);
  for (const std::string &w : {std::string(), entry("240115000000", 'a')}) {
    const std::string text = h + w + entry("241103000000", 's', 0, 1);
    Scratch s(text);
    Ran r = s.run("$Q -n 240115000000 -t 241103013000 -n 241103000000 f");
    EXPECT_EQ(r.out, "241103001500\n") << r.err;
    EXPECT_EQ(unstamped(s.read()), unstamped(text + added));
  }
}

}  // namespace
