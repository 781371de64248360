#include <gtest/gtest.h>
#include <unistd.h>

#include <set>

#include "libicf.h"
#include "program_test.h"

namespace {

const int Env = setenv("C", CORVANE_BIN, 1) + setenv("Q", QUENLOR_BIN, 1);
const std::string H = "PERIOD=3600\nENTRIES=10\nRETRIES=2\n";

// Each step changes 09:00 alone and stamps it with the time of the change.
TEST(Corvane, CountsRetriesIntoFailureAndResets) {
  const std::string a = H + entry("240110080000", 'n'),
                    z = entry("240110100000", 'n');
  Scratch s(a + entry("240110090000", 'n') + z);
  const std::tuple<const char *, char, int> steps[] = {
      {"r", 'r', 1}, {"retry", 'r', 2}, {"r", 'x', 3},       {"r", 'x', 4},
      {"a", 'a', 0}, {"r", 'r', 1},     {"success", 's', 1}, {"x", 'x', 1}};
  for (const auto &[word, status, count] : steps) {
    Ran r = s.run(std::string("$C f 240110090000 ") + word);
    EXPECT_EQ(std::to_string(r.status) + r.out + r.err, "0") << word;
    const std::string f = s.read();
    EXPECT_EQ(unstamped(f),
              unstamped(a + entry("240110090000", status, count) + z));
    EXPECT_NE(f.substr(f.find("240110090000") + 24, 12), "240101000000");
  }
}

// A file with both 01:30 EDT and 01:30 EST, either or neither; a January `a`
// line, when present, is converted before the key. With both, 01:00 EST
// between them is pending: -n searches from the key's first instant.
TEST(Corvane, RepeatedHourKeyUpdatesBothEntries) {
  const std::string k = "241103013000";
  for (const std::string &w : {std::string(), entry("240115000000", 'a')}) {
    for (int held = 0; held < 4; held++) {
      auto text = [&](char status) {
        return "PERIOD=1800\nENTRIES=100\nRETRIES=2\n" + w +
               entry("241103010000", 's', 0, 1) +
               (held & 1 ? entry(k, status, 0, 1) : "") +
               (held == 3 ? entry("241103010000", 'n', 0, 0) : "") +
               (held & 2 ? entry(k, status, 0, 0) : "") +
               entry("241103020000", 'n');
      };
      Scratch s(text('n'));
      Ran r = s.run("$C -n -t 241103023000 f " + k + " s");
      EXPECT_EQ(r.out + r.err, held == 3 ? "241103010000\n"
                               : held    ? "241103020000\n"
                                         : "corvane: No such interval\n");
      EXPECT_EQ(unstamped(s.read()), unstamped(text('s')));
    }
  }
}

TEST(Corvane, RunsAndErrors) {
  const std::string c =
      H + entry("240110080000", 'n') + entry("240110090000", 'n') +
      entry("240110100000", 'r', 2, -1, ago(0)) + entry("240110110000", 'n');
  const std::string C = "$C -t 240110123000 ", K = " 240110090000 ";
  const RunCase cases[] = {
      {c, C + "-n -p -f f" + K + "s", "240110100000 3600 1\n"},
      {c, C + "-n -p f 240110110000 x", "0 3600\n"},
      {c, C + "-p -f -d 600 f" + K + "s", ""},
      {c, C + "-d 1,x -q f" + K + "s", "", "Invalid option value for -d: x\n"},
      {c, C + "-s f" + K + "s", "",
       "corvane: Invalid command-line option \"s\"\n"},
      {c, C + "f" + K + "s x", "",
       "corvane: Missing or extra arguments on command line\n"},
      {c, C + "f" + K + "S", "", "corvane: Invalid status: S\n"},
      {c, C + "f" + K + "''", "",
       std::string("corvane: Invalid status: \0\n", 27)},
      {c, C + "g" + K + "s", "", "corvane: Invalid checkpoint file: g\n"},
      {c, C + "f 240110093000 s", "", "corvane: No such interval\n"},
      {c, "TZ=UTC0 " + C + "f 691231235959 s", "",
       "corvane: Starting interval, invalid interval value\n"},
      // June 31 and hour 25 would name 1 July's intervals; a bad key is
      // refused before the file (here none) is opened.
      {c, C + "f 240631000000 s", "",
       "corvane: Starting interval, invalid interval value\n"},
      {c, C + "g 240630250000 x", "",
       "corvane: Starting interval, invalid interval value\n"},
      {c, "$C -t 240110126000 f" + K + "s", "",
       "corvane: Current time, invalid interval value\n"},
  };
  expect_runs(cases);
}

// The job loop of the README across clock changes of every size, in the
// zone's real rules: quenlor at `from` on a new file, then quenlor and
// corvane with the printed key until "0" at `to`. The loop ends, the entries'
// times rise and are each the first pass of their key, and every local time
// of the grid from the first entry on, where the clock shows it, has an entry.
TEST(Corvane, JobLoopAcrossClockChangesOfAnySize) {
  const char *const loops[] = {
      "Australia/Lord_Howe 240407000000 240407060000 900 5400",
      "Australia/Lord_Howe 241006000000 241006060000 900 3600",
      "Antarctica/Troll 241027000000 241027070000 900 7200",
      "Antarctica/Troll 240331000000 240331060000 900 7200",
      "Asia/Almaty 240229210000 240301030000 900 3600",
      "Asia/Almaty 240226000000 240304000000 86400",
      "Europe/Moscow 141026000000 141026040000 900",
      "America/Caracas 071209010000 071209050000 900",
      "Africa/Casablanca 240310010000 240310050000 900",
      "Europe/Dublin 241027000000 241027050000 3600",
      "America/St_Johns 241103000000 241103050000 5400",
      "Pacific/Apia 111226000000 120103000000 86400",
      "EST5EDT,M3.2.0,M11.1.0 240612100000 240612103000 90",
  };
  for (const char *loop : loops) {
    std::istringstream in(loop);
    std::string zone, from, to;
    in >> zone >> from >> to;
    if (zone[0] != 'E' &&
        access(("/usr/share/zoneinfo/" + zone).c_str(), F_OK)) {
      std::printf("note: no zone file: %s skipped\n", zone.c_str());
      continue;
    }
    setenv("TZ", zone.c_str(), 1), tzset();
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
        EXPECT_EQ(icf_cnv_time(key.c_str(), &t), nullptr);
        EXPECT_EQ(std::stoll(hex, nullptr, 16), t) << key << " first pass";
        EXPECT_GT(t, previous) << key;  // also: no key twice
        keys.insert(key);
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
  setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1), tzset();
}

}  // namespace
