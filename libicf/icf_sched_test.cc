#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "icf_internal.h"
#include "libicf.h"

namespace {

time_t T(const std::string &key) {
  time_t t;
  icf_cnv_time(key.c_str(), &t);
  return t;
}

// An empty table of `capacity` slots with its pending queue.
void init(IcfFile *file, int32_t period, IcfEntry *slots, int32_t capacity) {
  *file = {};
  file->table = {period, 3, capacity, -1, -1, slots, {}, nullptr, {}, 0, 0, {}};
  queue_create(&file->table.pending, &file->table, nullptr);
}

// Zone, then cases: period, newest entry ("-": none), now, include_current,
// then the keys appended as hhmm (on the day of the newest entry, or of now)
// or ddhhmm. EST5EDT in 2024: summer time from 10 March 02:00 to 3 November
// 02:00.
const char *const Cases[] = {
    "EST5EDT,M3.2.0,M11.1.0",
    "900 241103000000 241103021500 0 0015 0030 0045 0100 0115 0130 0145 0200",
    "900 240310014500 240310033000 0 0300 0315",
    "3600 241103000000 241103040000 0 0100 0200 0300",
    "3600 240310010000 240310050000 0 0300 0400",
    "7200 240310000000 240310090000 0 0300 0400 0600",
    "7200 241103000000 241103050000 0 0200",
    "86400 240309000000 240313120000 0 100000 110000 120000",
    "86400 241102000000 241106120000 0 030000 040000 050000",
    "86400 240714000000 240715233000 0",  // a day is due once it has ended
    "900 240115120000 240115100000 1",
    "900 - 240115103210 0 1015",
    "900 - 240115103010 0 1000 1015",
    "900 - 240115103010 1 1015 1030",
    "21600 - 240115103010 0 0300",
    "21600 240115030000 240117060010 0 0800 1300 1800 160000 160600 161200 "
    "161800 170000",
    "86400 - 240115103010 0 131100 131200 131300 131400 131500 131600 131700 "
    "131800 131900 132000 132100 132200 132300 140000",
    "3600 390601000000 390601030000 0 0100 0200",  // past 2038
    // Back an hour at midnight without a change of the daylight flag, and a
    // day left out.
    "Asia/Almaty",
    "86400 240228000000 240302120000 0 290000 03010000",
    "900 240229224500 240301002000 0 2300 2315 2330 2345 03010000",
    "Pacific/Apia",
    "86400 111229000000 120101120000 0 310000",
    // Back two hours, and forward half an hour.
    "Antarctica/Troll",
    "7200 241027000000 241027050000 0 0200",
    "Australia/Lord_Howe",
    "3600 241006010000 241006050000 0 0300 0400",
};

// Through the fast catch-up (1) and through the step-by-step walk alone (0).
class Walks : public ::testing::TestWithParam<int> {};

TEST_P(Walks, AppendExamples) {
  Icf_Knobs.fast_catch_up = GetParam();
  for (const char *c : Cases) {
    if (!std::isdigit(static_cast<unsigned char>(c[0]))) {
      setenv("TZ", c, 1);
      tzset();
      if (c[0] != 'E' &&
          access((std::string("/usr/share/zoneinfo/") + c).c_str(), F_OK))
        GTEST_SKIP() << "no zone file for " << c;
      continue;
    }
    std::istringstream in(c);
    int32_t period;
    int include_current;
    std::string newest, now, key;
    in >> period >> newest >> now >> include_current;
    const std::string day = newest != "-" ? newest : now;
    std::vector<std::string> expected, appended;
    while (in >> key)
      expected.push_back(day.substr(0, 10 - key.size()) + key + "00");
    IcfEntry slots[32] = {};
    IcfFile file;
    init(&file, period, slots, 32);
    if (newest != "-")
      icf_entry_new(&file.table, T(newest), newest.c_str(), "", 's', 0);
    const int before = file.table.last + 1;
    IcfEntry *first = quenlor(&file, T(now), include_current);
    for (int i = before; i <= file.table.last; ++i) {
      EXPECT_EQ(slots[i].time, T(slots[i].key)) << c;  // the first pass
      appended.push_back(slots[i].key);
    }
    EXPECT_EQ(appended, expected) << c;
    EXPECT_EQ(first, expected.empty() ? nullptr : &slots[before]);
    if (file.table.last >= 1 && !expected.empty()) {  // the grid's next
      EXPECT_EQ(icf_next_start(&file.table, slots[file.table.last - 1].time),
                slots[file.table.last].time)
          << c;
    }
  }
  Icf_Knobs.fast_catch_up = 1;
}

INSTANTIATE_TEST_SUITE_P(Scheduler, Walks, ::testing::Values(1, 0));

TEST(Scheduler, RingWrapKeepsPendingOrderAndCursor) {
  setenv("TZ", "UTC0", 1);
  tzset();
  IcfEntry slots[3] = {};
  IcfFile file;
  init(&file, 3600, slots, 3);
  IcfEntry *midnight =
      icf_entry_new(&file.table, T("240115"), "240115000000", "", 's', 0);
  auto next = [&](const char *now) {
    IcfEntry *e = quenlor(&file, T(now), 0);
    return e ? std::string(e->key + 6, 2) : "-";
  };
  std::vector<std::string> got = {next("2401150300"), next("2401150300")};
  corvane(&file, midnight, 'a');  // pending: 01, 02, 00
  got.push_back(next("2401150300"));
  // 03 takes the slot of 00, the cursor, which moves back to 02.
  for (int i = 0; i < 4; ++i) got.push_back(next("2401150400"));
  corvane(&file, file.table.cursor, 's');  // 02 done: the cursor goes to 01
  got.push_back(next("2401150400"));
  EXPECT_EQ(got, (std::vector<std::string>{"01", "02", "00", "03", "-", "01",
                                           "02", "03"}));
  EXPECT_EQ(file.table.first, 1);
  EXPECT_EQ(icf_find(&file, T("24011500")), nullptr);
  EXPECT_EQ(icf_find(&file, T("24011502")), &slots[2]);
  EXPECT_EQ(icf_find(&file, T("24011503")), &slots[0]);
  corvane(&file, &slots[1], 'x');  // failed: no longer pending
  EXPECT_EQ(file.table.pending.count, 1);
}

// Command-line keys in EST5EDT: fields out of range and the spring gap
// fail; short keys, the repeated hour and a text read as now convert, to
// the time the loose conversion gives.
TEST(Keys, OnlyTimesTheClockShows) {
  setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
  tzset();
  std::istringstream valid(
      "240630000000 240229 240630235959 2406 24 240310030000 241103013000 now"),
      refused(
          "240631000000 230229 241300 2400 240600 240615240000 2406151060 "
          "240615100060 240310023000 24031002 24-1");
  for (std::string key; valid >> key;) {
    time_t t = 0, loose = 0;
    EXPECT_EQ(icf_cnv_key(key.c_str(), &t), nullptr) << key;
    icf_cnv_time(key.c_str(), &loose);
    EXPECT_TRUE(t == loose || key == "now") << key;
  }
  for (std::string key; refused >> key;)
    EXPECT_NE(icf_cnv_key(key.c_str(), nullptr), nullptr) << key;
}

// The local times of many instants from the zone's offsets, against the
// conversions they stand in for, in zones with every kind of change (and
// one counting leap seconds, which they leave to localtime): keys, show's
// start, whether a key or a nearby stamp names a time the clock shows.
TEST(Keys, LocalTimesAtSpeedAsTheConversions) {
  const char *zones[] = {"EST5EDT,M3.2.0,M11.1.0", "IST-5:30",
                         "America/New_York",       "Australia/Lord_Howe",
                         "Europe/Dublin",          "Pacific/Apia",
                         "Antarctica/Troll",       "right/UTC"};
  std::mt19937_64 rng(7);
  for (const char *zone : zones) {
    if (zone[0] != 'E' && zone[0] != 'I' &&
        access(("/usr/share/zoneinfo/" + std::string(zone)).c_str(), R_OK)) {
      std::printf("[  SKIPPED ] no zone file for %s\n", zone);
      continue;
    }
    setenv("TZ", zone, 1);
    tzset();
    IcfLocal local;
    icf_local_init(&local);
    // Runs of entries across changes, with stamps near them or far.
    time_t t = time_t(rng() % 2000000000);
    for (int i = 0; i < 20000; ++i) {
      t += i % 500 == 0 ? time_t(rng() % 200000000) : time_t(rng() % 7200);
      if (t > 3000000000) t = time_t(rng() % 2000000000);
      char key[13], fast[13];
      ASSERT_TRUE(icf_cnv_time_str(t, key));
      if (icf_local_key(&local, t, fast)) {
        ASSERT_STREQ(fast, key) << zone << t;
      }
      struct tm tm;
      char text[64], quick[40];
      localtime_r(&t, &tm);
      strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %Z", &tm);
      if (icf_local_text(&local, t, quick)) {
        ASSERT_STREQ(quick, text) << zone;
      }
      ASSERT_NE(icf_local_names(&local, t, key), 0) << zone << " " << key;
      // A key of some minutes or days later, or with a field off its range.
      std::snprintf(key + 6, 7, "%02d%02d%02d", int(rng() % 25),
                    int(rng() % 61), int(rng() % 60));
      time_t back;
      char again[13] = "";
      const bool shown = icf_cnv_time(key, &back) == nullptr &&
                         icf_cnv_time_str(back, again) &&
                         std::strcmp(again, key) == 0;
      if (const int seen = icf_local_shows(&local, key); seen >= 0) {
        ASSERT_EQ(seen, shown) << zone << " " << key;
      }
    }
  }
  setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
  tzset();
}

// What a file is behind, whoever appended last: period, entries as key and
// status (each stamped with its own key), now, the due intervals, the oldest
// of them ("-": none) and its lag. EST5EDT.
TEST(Scheduler, DueFromTheGrid) {
  setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
  tzset();
  const char *const cases[] = {
      "900 241026014500s 241026021000 0 - 0",
      "900 241026014500s 241026021500 1 241026020000 0",
      "900 241026014500s 241026023000 2 241026020000 900",
      // A job stopped two days: nothing appended, the grid knows.
      "900 241026014500s 241028021000 192 241026020000 172500",
      "900 241026020000n 241026021000 0 - 0",
      "900 241026020000r,241026021500s 241026023000 1 241026020000 900",
      // 01:45 EDT ends at 02:00 EST, and so does 01:00 EDT of an hourly
      // file, two hours on.
      "900 241103014500n 241103015900 0 - 0",
      "900 241103014500n 241103021500 2 241103014500 900",
      "3600 241103000000s 241103030000 2 241103010000 3600",
      "3600 241103000000r,241103010000s 241103030000 2 241103000000 10800",
      "3600 991231230000s,000101000000s 000101020000 1 000101010000 0",
      // Two years: the spring gaps have no quarters, the autumn repeats none.
      "900 240101000000s 260101000000 70167 240101001500 63156600",
  };
  for (const char *c : cases) {
    std::istringstream in(c);
    int32_t period;
    std::string entries, now, oldest;
    int64_t intervals, lag;
    in >> period >> entries >> now >> intervals >> oldest >> lag;
    std::vector<IcfEntry> slots(8);
    IcfFile file;
    init(&file, period, slots.data(), 8);
    for (size_t at = 0; at < entries.size(); at += 14) {
      const std::string key = entries.substr(at, 12);
      icf_entry_new(&file.table, T(key), key.c_str(), key.c_str(),
                    entries[at + 12], 0);
    }
    IcfDue due;
    icf_due(&file.table, T(now), &due);
    EXPECT_EQ(due.intervals, intervals) << c;
    EXPECT_EQ(due.oldest_start, oldest == "-" ? -1 : T(oldest)) << c;
    EXPECT_EQ(oldest == "-" ? 0 : T(now) - due.oldest_end, lag) << c;
    EXPECT_EQ(due.last_change, T(slots[file.table.last].key));
    EXPECT_EQ(file.table.pending.count, 0);  // measured, not appended
  }
}

}  // namespace
