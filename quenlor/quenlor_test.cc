// Runs the built quenlor as a job script would.
#include <gtest/gtest.h>

#include "program_test.h"

namespace {

const int Env = setenv("Q", QUENLOR_BIN, 1);
const std::string H = "PERIOD=3600\nENTRIES=10\nRETRIES=2\n";

// 09:00 retried `count` times `age` seconds ago by the real clock, then 10:00
// new; 2024 times never enter the delay test.
std::string retried(int count, long age) {
  return "PERIOD=3600\nENTRIES=10\nRETRIES=80\n" +
         entry("240110090000", 'r', count, -1, ago(age)) +
         entry("240110100000", 'n');
}

TEST(Quenlor, RunsAndErrors) {
  const std::string q = H + entry("240110080000", 's') +
                        entry("240110090000", 'r', 2) +
                        entry("240110100000", 'n');
  const std::string one = H + entry("240110100000", 'n');
  const std::string Q = "$Q -t 240110113000 ", First = "240110090000\n",
                    Second = "240110100000\n", d3 = "-d 600,1800,3600 f",
                    d60 = "-d " + std::string(59, ',') + "0x1e f";  // 60 items
  const std::string exclusive =
      "quenlor: Options '-n' and '-s' are exclusive\n";
  const RunCase cases[] = {
      {q, Q + "f", First},
      {q, Q + "-fp -n 240110090000 f", "240110100000 3600 0\n"},
      {H + entry("240110090000", 'r', 1), Q + "-f f", "240110090000 0\n", "",
       1},
      {retried(2, 1000), Q + d3, Second},
      {retried(2, 2000), Q + d3, First},
      {retried(70, 0), Q + d60, Second},  // beyond the 64 slots: the last
      {one, Q + "-s -t 240110103000 f", Second},
      {one, Q + "-s -t 240110111000 f", "240110110000\n", "", 1},  // begun
      {H + entry("240110090000", 'n') + entry("240110100000", 's'),
       Q + "-s -t 240110103000 f", "0\n"},
      {"PERIOD=86400\nENTRIES=10\nRETRIES=2\n" + entry("241102000000", 's'),
       "$Q -s -t 241103233000 f", "241103000000\n", "", 1},  // a 25-hour day
      {one, Q + "-n 240110090000 -s f", "", exclusive},
      {one, Q + "-s -n 240110090000 f", "", exclusive},
      {one, Q + "-p", "", "quenlor: Checkpoint file not specified\n"},
      {one, Q + "f -p", "", "quenlor: Extra arguments on command line\n"},
      {one, "TZ=UTC0 " + Q + "-t 691231235959 f", "",  // -1 fails
       "quenlor: Current time, invalid interval value\n"},
      // No neighbour for an impossible key: January 2025, the spring gap;
      // short keys keep their meaning.
      {one, Q + "-t 2413 f", "",
       "quenlor: Current time, invalid interval value\n"},
      {one, Q + "-t 240310023000 f", "",
       "quenlor: Current time, invalid interval value\n"},
      {one, Q + "-n 240230 f", "",
       "quenlor: Starting interval, invalid interval value\n"},
      {one, "$Q -t 24011012 -n 2401 f", Second, "", 1},
  };
  expect_runs(cases);
}

}  // namespace
