#include "cli.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <tuple>

#include "cli_notice.h"

namespace {

// A delay is served once exactly that much time has passed; elapsed time and
// delay compare as signed 32-bit numbers, an elapsed time beyond saturating.
TEST(Cli, HeldBack) {
  const time_t Far = time_t{1} << 40;
  // delay, stamp, clock, held back
  const std::tuple<uint32_t, time_t, time_t, bool> cases[] = {
      {600, 1000, 1600, false}, {600, 1000, 1599, true},
      {600, 2000, 1000, true},  {0x80000000u, 1000, 1000, false},
      {600, 0, Far, false},     {1, Far, 0, true}};
  for (auto [delay, stamp, clock, held] : cases)
    EXPECT_EQ(cli_held_back(delay, stamp, clock), held)
        << delay << " " << clock;
}

// Retry r waits slot r - 1 (an empty item is no wait); the last delay given
// stands for the retries after it.
TEST(Cli, DelayForEachRetry) {
  CliDelays d{};
  const char *bad;
  ASSERT_EQ(cli_delays_parse(&d, "600,,1800", &bad), CLI_DELAY_OK);
  cli_delays_complete(&d, 5);
  const uint32_t want[] = {0, 600, 0, 1800, 1800, 1800};
  for (int32_t r = 0; r < 6; ++r) EXPECT_EQ(cli_delay_for(&d, r), want[r]) << r;
  // A later -d starts again at slot 0; past RETRIES=1 the slots beyond it
  // keep what the first gave.
  ASSERT_EQ(cli_delays_parse(&d, "60", &bad), CLI_DELAY_OK);
  cli_delays_complete(&d, 1);
  EXPECT_EQ(cli_delay_for(&d, 1) + cli_delay_for(&d, 3), 60u + 1800u);
}

// The programs tell only busy from invalid; with the cause the operators'
// tool names what the open ran into.
TEST(Cli, FailureText) {
  // fault, errno, the programs' words, the words with the cause
  const std::tuple<IcfFault, int, const char *, const char *> cases[] = {
      {ICF_FAULT_BUSY, 0, "Checkpoint file is busy: f",
       "Checkpoint file is busy: f"},
      {ICF_FAULT_NOT_REGULAR, 0, "Invalid checkpoint file: f",
       "Invalid checkpoint file: f: not a regular file"},
      {ICF_FAULT_SYSTEM, EACCES, "Invalid checkpoint file: f",
       "Cannot open checkpoint file: f: Permission denied"},
      {ICF_FAULT_FORMAT, 0, "Invalid checkpoint file: f",
       "Invalid checkpoint file: f"}};
  for (const auto &[fault, error, plain, caused] : cases) {
    const IcfFailure failure = {fault, 0, 0, error};
    EXPECT_EQ(cli_failure_text(failure, "f", false), plain);
    EXPECT_EQ(cli_failure_text(failure, "f", true), caused);
  }
}

// The last pending interval is the snapshot only while it is in progress; at
// its end the next one, here already done, has begun. The day the clocks go
// back lasts 25 hours, the hour interval that covers the repeated hour two.
TEST(Cli, SnapshotEndsWithItsInterval) {
  const std::string Quarter =
                        "PERIOD=900\nENTRIES=8\nRETRIES=3\n"
                        "240101000000 65920080 n 240101000000 0000\n"
                        "240101001500 65920404 s 240101000000 0000\n",
                    Day =
                        "PERIOD=86400\nENTRIES=8\nRETRIES=3\n"
                        "241102000000 6725a3c0 s 240101000000 0000\n"
                        "241103000000 6726f540 n 240101000000 0000\n"
                        "241104000000 672854d0 s 240101000000 0000\n",
                    Hour =
                        "PERIOD=3600\nENTRIES=8\nRETRIES=3\n"
                        "241103000000 6726f540 s 240101000000 0000\n"
                        "241103010000 67270350 n 240101000000 0000\n"
                        "241103020000 67271f70 s 240101000000 0000\n";
  const time_t T0 = 1704067200;        // 240101000000 UTC
  const time_t Day_End = 1730696400;   // 241104000000 EST
  const time_t Hour_End = 1730617200;  // 241103020000 EST
  // Eastern time or UTC, the file, the time, the snapshot's key
  const std::tuple<bool, const std::string &, time_t, std::string> cases[] = {
      {false, Quarter, T0 + 899, "240101000000"},
      {false, Quarter, T0 + 900, ""},
      {false, Quarter, T0 + 1800, "240101003000"},
      {true, Day, Day_End - 1800, "241103000000"},  // 241103233000 EST
      {true, Day, Day_End, ""},
      {true, Hour, Hour_End - 1800, "241103010000"},  // 01:30 EST
      {true, Hour, Hour_End, ""}};
  char path[] = "/tmp/icfcliXXXXXX";
  close(mkstemp(path));
  const char *missing = nullptr;
  for (const char *tz :
       {"UTC0", "EST5EDT,M3.2.0,M11.1.0", "America/New_York"}) {
    if (tz[0] == 'A' && access("/usr/share/zoneinfo/America/New_York", F_OK)) {
      missing = tz;
      continue;
    }
    setenv("TZ", tz, 1), tzset();
    for (const auto &[eastern, text, now, key] : cases) {
      if (eastern != (tz[0] != 'U')) continue;
      std::ofstream(path) << text;
      IcfFile file{};
      ASSERT_TRUE(icf_open(&file, "t", path));
      IcfEntry *e = cli_snapshot(&file, now);
      EXPECT_EQ(e ? e->key : "", key) << tz << " " << now;
      icf_close(&file);
    }
  }
  unlink(path);
  if (missing) GTEST_SKIP() << "no zone file for " << missing;
}

}  // namespace

// The TZ values the C library really uses (zone files: the runner's tests
// in Lord Howe), POSIX rules; and what it would silently read as UTC.
TEST(CliNotice, ZoneKnown) {
  const std::pair<const char *, bool> cases[] = {
      {nullptr, true},
      {"", true},
      {"UTC0", true},
      {"EST5EDT,M3.2.0,M11.1.0", true},
      {"<+0330>-3:30", true},
      {"AEST-10AEDT,M10.1.0,M4.1.0/3", true},
      {"EST5EDT4,J60/2,300", true},
      {"America/New_Yrok", false},
      {"ABC", false},
      {"EST5EDT,M3.2.0", false},
      {"EST5EDT,M13.2.0,M11.1.0", false},
      {"<AB>5", false},
      {"/nonexistent/zone", false},
      {":EST5EDT,M3.2.0,M11.1.0", false}};
  for (auto [tz, known] : cases)
    EXPECT_EQ(cli_zone_known(tz), known) << (tz ? tz : "unset");
}
