#include <gtest/gtest.h>
#include <unistd.h>

#include <set>

#include "libicf.h"
#include "program_test.h"

namespace {

const int Env = setenv("C", CORVANE_BIN, 1) + setenv("Q", QUENLOR_BIN, 1);
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
      {"TZ=UTC0 " + C + "f 691231235959 s", "",  // -1 fails
       "corvane: Starting interval, invalid interval value\n"},
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

// The job loop of the README across clock changes of every size, in the
// zone's real rules: quenlor at `from` on a new file, then quenlor and
// corvane with the printed key until "0" at `to`. The loop ends, the entries'
// times rise and are each the first pass of their key, and every local time
// of the grid from the first entry on, where the clock shows it, has an entry.
TEST(Corvane, JobLoopAcrossClockChangesOfAnySize) {
  const char *const loops[] = {
      "Australia/Lord_Howe 240407000000 240407060000 900 1800 3600 5400",
      "Australia/Lord_Howe 241006000000 241006060000 900 1800 3600",
      "Antarctica/Troll 241027000000 241027070000 900 3600 7200",
      "Antarctica/Troll 240331000000 240331060000 900 3600 7200",
      "Asia/Almaty 240229210000 240301030000 900 3600",
      "Asia/Almaty 240226000000 240304000000 86400",
      "Europe/Moscow 141026000000 141026040000 900 3600",
      "America/Caracas 071209010000 071209050000 900 1800",
      "Africa/Casablanca 240310010000 240310050000 900 3600",
      "Europe/Dublin 241027000000 241027050000 900 3600 7200",
      "America/St_Johns 241103000000 241103050000 900 3600 5400",
      "Pacific/Apia 111226000000 120103000000 86400",
      "EST5EDT,M3.2.0,M11.1.0 240612100000 240612103000 90",
  };
  for (const char *loop : loops) {
    std::istringstream in(loop);
    std::string zone, from, to;
    in >> zone >> from >> to;
    if (zone[0] != 'E' &&
        access(("/usr/share/zoneinfo/" + zone).c_str(), F_OK)) {
      std::printf("note: no zone file for %s, its loop is skipped\n",
                  zone.c_str());
      continue;
    }
    setenv("TZ", zone.c_str(), 1);
    tzset();
    for (int period; in >> period;) {
      SCOPED_TRACE(zone + " " + std::to_string(period));
      Scratch s("PERIOD=" + std::to_string(period) +
                "\nENTRIES=500\nRETRIES=3\n");
      Ran r = s.run("export TZ=" + zone + "; $Q -t " + from +
                    " f >/dev/null; n=0; while k=$($Q -t " + to +
                    " f) && [ \"$k\" != 0 ] && [ $n -lt 200 ]; do $C f $k s "
                    "|| exit; n=$((n+1)); done; echo $n");
      ASSERT_EQ(r.err, "");
      EXPECT_LT(std::stoi(r.out), 200) << "the loop does not end";
      std::istringstream lines(s.read());
      std::string line, key, hex;
      std::set<std::string> keys;
      time_t previous = 0, t;
      for (int i = 0; std::getline(lines, line); ++i) {
        if (i < 3) continue;
        std::istringstream(line) >> key >> hex;
        EXPECT_TRUE(keys.insert(key).second) << key << " twice";
        EXPECT_EQ(icf_cnv_time(key.c_str(), &t), nullptr);
        EXPECT_EQ(std::stoll(hex, nullptr, 16), t) << key << " first pass";
        EXPECT_GT(t, previous) << key;
        previous = t;
      }
      ASSERT_FALSE(keys.empty());
      std::tm wall{};
      strptime(keys.begin()->c_str(), "%y%m%d%H%M%S", &wall);
      for (time_t w = timegm(&wall);; w += period) {
        char grid[13];
        std::strftime(grid, sizeof grid, "%y%m%d%H%M%S", gmtime_r(&w, &wall));
        char shown[13] = "";
        if (icf_cnv_time(grid, &t) == nullptr) icf_cnv_time_str(t, shown);
        if (t > previous) break;
        EXPECT_TRUE(std::string(shown) != grid || keys.count(grid)) << grid;
      }
    }
  }
  setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
  tzset();
}

}  // namespace
