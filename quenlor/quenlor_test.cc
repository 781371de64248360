#include <gtest/gtest.h>

#include "program_test.h"

namespace {

const std::string H = header(3600, 10, 2);
const std::string First = "240110090000\n", Second = "240110100000\n";

// 09:00 retried `count` times, `age` seconds ago by the real clock; 10:00 new.
std::string retried(int retries, int count, long age) {
  return header(3600, 100, retries) +
         entry("240110090000", 'r', ago(age), count) +
         entry("240110100000", 'n');
}

TEST(Quenlor, Selection) {
  const std::string text = H + entry("240110080000", 's') +
                           entry("240110090000", 'r', "240101000000", 2) +
                           entry("240110100000", 'n');
  const std::string list63 = std::string(59, ',') + "0x1e";
  // -t 240110113000 comes first: 10:00 has no ended successor then, and the
  // 2024 time must not enter the delay test.
  struct Case {
    std::string text;
    std::vector<std::string> args;
    std::string out;
    size_t entries = 0;  // entry lines afterwards, when checked
  } cases[] = {
      {text, {}, First},
      {text, {"-p"}, "240110090000 3600\n"},
      {text, {"-f"}, "240110090000 1\n"},
      {text, {"-p", "-f"}, "240110090000 3600 1\n"},
      {text, {"-f", "-n", "240110090000"}, "240110100000 0\n"},
      {text, {"-pf", "-n", "240110090000"}, "240110100000 3600 0\n"},
      {text, {"-n", "240110100000"}, "0\n"},
      {text, {"-fp", "-n", "240110100000"}, "0 3600 0\n"},
      {text, {"-n", "240110083000"}, First},
      {H + entry("240110100000", 's'),
       {"-t", "240110140500"},
       "240110110000\n",
       4},
      {retried(5, 2, 1000), {"-d", "600,1800,3600"}, Second},
      {retried(5, 2, 2000), {"-d", "600,1800,3600"}, First},
      {retried(5, 5, 3000), {"-d", "600,1800,3600"}, Second},
      {retried(5, 5, 4000), {"-d", "600,1800,3600"}, First},
      {retried(5, 3, 500), {"-d", "600"}, Second},
      {retried(5, 2, 0), {"-d", "600,,3600"}, First},
      {retried(5, 1, 0), {"-d", "600,"}, Second},
      {retried(80, 70, 0), {"-d", list63}, Second},     // beyond the table:
      {retried(80, 70, 100), {"-d", list63}, First},    // the last slot, 30 s
      {retried(5, 1, 0), {"-d", "4294967295"}, First},  // negative: no wait
      {retried(5, 0, 0), {"-d", "600"}, First},
      {retried(5, 1, -1000), {"-d", "600"}, Second},  // stamp ahead of clock
      {H + entry("240110100000", 'n'), {"-s", "-t", "240110103000"}, Second, 1},
      {H + entry("240110100000", 'n'),
       {"-s", "-t", "240110111000"},
       "240110110000\n",
       2},  // the interval that has begun is added
      {H + entry("240110090000", 'n') + entry("240110100000", 's'),
       {"-s", "-t", "240110103000"},
       "0\n"},
      {H + entry("240110100000", 'r', ago(0), 2),
       {"-s", "-f", "-d", "600", "-t", "240110103000"},
       "240110100000 1\n"},
  };
  for (const Case &c : cases) {
    TempFile f(c.text);
    std::vector<std::string> args{"-t", "240110113000"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.push_back("@");
    Ran r = run(QUENLOR_BIN, args, f.path);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, c.out) << testing::PrintToString(c.args);
    if (c.entries) {
      EXPECT_EQ(unstamped(f.read()).size(), c.entries);
    } else if (c.text == text) {
      EXPECT_EQ(f.read(), text);  // rewritten byte for byte
    }
  }
}

TEST(Quenlor, RepeatedHourTimeIsTheEarlierInstantWhateverRanBefore) {
  std::string expect;
  for (const char *k : {"001500", "003000", "004500", "010000", "011500"})
    expect += entry(std::string("241103") + k, 'n', ago(0), 0, 1);
  for (bool winter_line : {false, true}) {
    for (bool winter_first : {false, true}) {
      std::string text = header(900, 100, 2) +
                         (winter_line ? entry("240115000000", 'a') : "") +
                         entry("241103000000", 's', "240101000000", 0, 1);
      TempFile f(text);
      std::vector<std::string> args{"-n", "241103000000", "-t", "241103013000",
                                    "@"};
      if (winter_first) args.insert(args.begin(), {"-n", "240115000000"});
      Ran r = run(QUENLOR_BIN, args, f.path);
      EXPECT_EQ(r.out, "241103001500\n") << r.err;
      EXPECT_EQ(unstamped(f.read()), unstamped(text + expect));
    }
  }
}

TEST(Quenlor, ErrorsLeaveTheFileUntouched) {
  const std::string good = H + entry("240110100000", 's');
  struct Case {
    std::vector<std::string> args;
    std::string err;
    std::string text = "";  // empty: `good`
    long fsize = -1;
  } cases[] = {
      {{"-n", "240110090000", "-s", "@"},
       "quenlor: Options '-n' and '-s' are exclusive\n"},
      {{"-s", "-n", "240110090000", "@"},
       "quenlor: Options '-n' and '-s' are exclusive\n"},
      {{"-d", std::string(64, '1'), "@"},
       "quenlor: Delay string should be less than 64\n"},
      {{"-d", "600,abc", "-x", "@"}, "Invalid option value for -d: abc\n"},
      {{"-d", "-5", "@"}, "Invalid option value for -d: -5\n"},
      {{"-d", "08", "@"}, "Invalid option value for -d: 08\n"},
      {{"-x", "-d", "abc", "@"},
       "quenlor: Invalid command-line option \"x\"\n"},
      {{"-p", "-t"}, "quenlor: Invalid command-line option \"t\"\n"},
      {{"-p"}, "quenlor: Checkpoint file not specified\n"},
      {{"@", "-p"}, "quenlor: Extra arguments on command line\n"},
      {{"@.none"}, "quenlor: Invalid checkpoint file: @.none\n"},
      {{"@"}, "quenlor: Invalid checkpoint file: @\n", "PERIOD=1\nENTRIES=1\n"},
      {{"-t", "240110140500", "@"},
       "quenlor: Cannot write checkpoint file: @\n",
       good,
       100},
  };
  for (const Case &c : cases) {
    const std::string &text = c.text.empty() ? good : c.text;
    TempFile f(text);
    Ran r = run(QUENLOR_BIN, c.args, f.path, c.fsize);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");  // never a line for an interval the file lacks
    EXPECT_EQ(r.err, at_path(c.err, f.path));
    EXPECT_EQ(f.read(), text);
  }
}

TEST(Quenlor, Usage) {
  Ran r = run(QUENLOR_BIN, {"-p", "-h", "-x"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  // "@" stands for the three tabs of the example lines.
  EXPECT_EQ(r.err, at_path(R"(Usage: quenlor -[options] <filename>
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
                           "\t\t\t"));
}

}  // namespace
