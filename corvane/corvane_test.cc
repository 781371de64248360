#include <gtest/gtest.h>

#include "program_test.h"

namespace {

const std::string H = header(3600, 10, 2);

Ran corvane(std::vector<std::string> args, const std::string &key,
            const char *word, const std::string &path, long fsize = -1) {
  args.insert(args.end(), {"@", key, word});
  return run(CORVANE_BIN, args, path, fsize);
}

TEST(Corvane, CountsRetriesIntoFailureAndResets) {
  const std::string before = entry("240110080000", 'n');
  const std::string after = entry("240110100000", 'n');
  TempFile f(H + before + entry("240110090000", 'n') + after);
  struct Step {
    const char *word;
    char status;
    int count;
  } steps[] = {{"r", 'r', 1},       {"retry", 'r', 2}, {"r", 'x', 3},
               {"r", 'x', 4},       {"a", 'a', 0},     {"r", 'r', 1},
               {"success", 's', 1}, {"x", 'x', 1}};
  for (const Step &s : steps) {
    Ran r = corvane({}, "240110090000", s.word, f.path);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(
        unstamped(f.read()),
        unstamped(H + before +
                  entry("240110090000", s.status, ago(0), s.count) + after))
        << s.word;
  }
}

TEST(Corvane, NextIntervalAfterTheUpdate) {
  // 08:00 is still pending but earlier; 10:00 is on its last retry.
  const std::string text =
      H + entry("240110080000", 'n') + entry("240110090000", 'n') +
      entry("240110100000", 'r', ago(0), 2) + entry("240110110000", 'n');
  struct Case {
    std::vector<std::string> opts;
    const char *key, *word;
    std::string out;
  } cases[] = {
      {{"-n"}, "240110090000", "s", "240110100000\n"},
      {{"-n", "-p", "-f"}, "240110090000", "s", "240110100000 3600 1\n"},
      {{"-n", "-f"}, "240110090000", "r", "240110100000 1\n"},
      {{"-n", "-d", "600"}, "240110090000", "s", "240110110000\n"},
      {{"-n", "-f", "-d", "600"}, "240110100000", "a", "240110110000 0\n"},
      {{"-n", "-p"}, "240110110000", "x", "0 3600\n"},
      {{"-p", "-f", "-d", "600"}, "240110090000", "s", ""},
  };
  for (const Case &c : cases) {
    TempFile f(text);
    std::vector<std::string> opts = c.opts;
    opts.insert(opts.end(), {"-t", "240110123000"});
    Ran r = corvane(opts, c.key, c.word, f.path);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, c.out) << c.key << " " << c.word;
    EXPECT_EQ(unstamped(f.read()).size(), 4u);  // nothing appended
  }
}

TEST(Corvane, RepeatedHourKeyUpdatesBothEntries) {
  // 01:30 EDT and 01:30 EST share a key; a January `a` line, when present,
  // is converted before the key.
  const std::string h = header(1800, 100, 2),
                    winter = entry("240115000000", 'a');
  const std::string one = entry("241103010000", 's', "240101000000", 0, 1);
  const std::string two = entry("241103020000", 'n', "240101000000", 0, 0);
  auto pass = [](bool held, char s, int n, int dst) {
    return held ? entry("241103013000", s, "240101000000", n, dst) : "";
  };
  for (bool w : {false, true}) {
    for (int held = 0; held < 4; held++) {
      bool e = held & 1, l = held & 2;
      std::string text = h + (w ? winter : "") + one + pass(e, 'n', 0, 1) +
                         pass(l, 'n', 0, 0) + two;
      TempFile f(text);
      Ran r =
          corvane({"-n", "-t", "241103023000"}, "241103013000", "r", f.path);
      if (!e && !l) {
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "corvane: No such interval\n");
        EXPECT_EQ(f.read(), text);
        continue;
      }
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.out, "241103020000\n");  // neither updated entry is offered
      EXPECT_EQ(unstamped(f.read()),
                unstamped(h + (w ? winter : "") + one + pass(e, 'r', 1, 1) +
                          pass(l, 'r', 1, 0) + two))
          << w << held;
    }
  }
}

TEST(Corvane, ErrorsLeaveTheFileUntouched) {
  const std::string good = H + entry("240110100000", 'n');
  const std::string bad = "PERIOD=3600\nENTRIES=0\nRETRIES=2\n";
  const std::string k = "240110100000";
  struct Case {
    std::vector<std::string> args;
    std::string err;
    bool bad_file = false;
    long fsize = -1;
  } cases[] = {
      {{"-d", std::string(64, '1'), "@", k, "s"},
       "corvane: Delay string should be less than 64\n"},
      {{"-d", "1,x", "-q", "@", k, "s"}, "Invalid option value for -d: x\n"},
      {{"-s", "@", k, "s"}, "corvane: Invalid command-line option \"s\"\n"},
      {{"-n", "-t"}, "corvane: Invalid command-line option \"t\"\n"},
      {{"@", k}, "corvane: Missing or extra arguments on command line\n"},
      {{"@", k, "s", "x"},
       "corvane: Missing or extra arguments on command line\n"},
      {{"@", k, "-n"}, "corvane: Invalid status: -\n"},
      {{"@", k, "new"}, "corvane: Invalid status: n\n"},
      {{"@", k, "S"}, "corvane: Invalid status: S\n"},
      {{"@.none", k, "s"}, "corvane: Invalid checkpoint file: @.none\n"},
      {{"@", k, "s"}, "corvane: Invalid checkpoint file: @\n", true},
      {{"@", "240110093000", "s"}, "corvane: No such interval\n"},
      {{"@", "now", "s"}, "corvane: No such interval\n"},
      {{"-n", "@", k, "s"},
       "corvane: Cannot write checkpoint file: @\n",
       false,
       40},
  };
  for (const Case &c : cases) {
    const std::string &text = c.bad_file ? bad : good;
    TempFile f(text);
    Ran r = run(CORVANE_BIN, c.args, f.path, c.fsize);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, at_path(c.err, f.path));
    EXPECT_EQ(f.read(), text);
  }
}

TEST(Corvane, Usage) {
  Ran r = run(CORVANE_BIN, {"-n", "-h", "-s"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  // "@" stands for the three tabs of the example lines.
  EXPECT_EQ(r.err,
            at_path(R"(Usage: corvane -[options] <filename> <interval> <status>
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
                    "\t\t\t"));
}

}  // namespace
