#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "libicf.h"

namespace {

time_t T(const std::string &key) {
  time_t t;
  icf_cnv_time(key.c_str(), &t);
  return t;
}

struct Case {
  int32_t period;
  const char *newest;  // "" for an empty table
  const char *now;
  int include_current;
  std::vector<std::string> appended;  // keys, yymmdd prefix implied below
};

// EST5EDT in 2024: summer time from 10 March 02:00 to 3 November 02:00.
const Case Cases[] = {
    {900,
     "241103000000",
     "241103021500",
     0,
     {"0015", "0030", "0045", "0100", "0115", "0130", "0145", "0200"}},
    {900, "240310014500", "240310033000", 0, {"0300", "0315"}},
    {3600, "241103000000", "241103040000", 0, {"0100", "0200", "0300"}},
    {3600, "240310010000", "240310050000", 0, {"0300", "0400"}},
    {7200, "240310000000", "240310090000", 0, {"0300", "0400", "0600"}},
    {7200, "241103000000", "241103050000", 0, {"0200"}},
    {86400,
     "240309000000",
     "240313120000",
     0,
     {"240310000000", "240311000000", "240312000000"}},
    {86400,
     "241102000000",
     "241106120000",
     0,
     {"241103000000", "241104000000", "241105000000"}},
    // A day is not offered before it ends, summer time or not.
    {86400, "240714000000", "240715233000", 0, {}},
    {900, "240115120000", "240115100000", 1, {}},
    {900, "", "240115103210", 0, {"1015"}},
    {900, "", "240115103010", 0, {"1000", "1015"}},
    {900, "", "240115103010", 1, {"1015", "1030"}},
    {21600, "", "240115103010", 0, {"0300"}},
    {21600,
     "240115030000",
     "240117060010",
     0,
     {"0800", "1300", "1800", "240116000000", "240116060000", "240116120000",
      "240116180000", "240117000000"}},
    {86400,
     "",
     "240115103010",
     0,
     {"240113110000", "240113120000", "240113130000", "240113140000",
      "240113150000", "240113160000", "240113170000", "240113180000",
      "240113190000", "240113200000", "240113210000", "240113220000",
      "240113230000", "240114000000"}},
    {3600, "390601000000", "390601030000", 0, {"0100", "0200"}},
};

TEST(Scheduler, AppendsWorkedExamples) {
  setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
  tzset();
  for (const Case &c : Cases) {
    IcfEntry slots[32] = {};
    IcfFile file = {};
    file.table = {c.period, 3, 32, -1, -1, slots, {}, nullptr};
    queue_create(&file.table.pending, &file.table, nullptr);
    const std::string day = std::string(c.newest[0] ? c.newest : c.now, 6);
    if (c.newest[0])
      icf_entry_new(&file.table, T(c.newest), c.newest, "", 's', 0);
    const int before = file.table.last + 1;
    IcfEntry *first = quenlor(&file, T(c.now), c.include_current);
    std::vector<std::string> keys;
    for (int i = before; i <= file.table.last; ++i) {
      const IcfEntry &e = slots[i];
      keys.push_back(e.key);
      char key[13];
      ASSERT_TRUE(icf_cnv_time_str(e.time, key));
      EXPECT_STREQ(key, e.key);
      EXPECT_EQ(e.time, T(e.key)) << e.key;  // first pass of a repeated hour
      EXPECT_EQ(e.status, 'n');
    }
    std::vector<std::string> expected;
    for (const std::string &k : c.appended)
      expected.push_back(k.size() == 4 ? day + k + "00" : k);
    EXPECT_EQ(keys, expected) << c.period << " " << c.newest << " " << c.now;
    EXPECT_EQ(first, expected.empty() ? nullptr : &slots[before]);
  }
}

TEST(Scheduler, RingWrapKeepsPendingOrderAndCursor) {
  setenv("TZ", "UTC0", 1);
  tzset();
  IcfEntry slots[3] = {};
  IcfFile file = {};
  file.table = {3600, 3, 3, -1, -1, slots, {}, nullptr};
  queue_create(&file.table.pending, &file.table, nullptr);
  icf_entry_new(&file.table, T("240115000000"), "240115000000", "", 's', 0);
  auto next = [&](const char *now) {
    IcfEntry *e = quenlor(&file, T(now), 0);
    return e ? std::string(e->key, 8) : "-";
  };
  // Five hours are due; the ring keeps the newest three. Two more hours
  // then push out the cursor's entry and the one before it.
  std::vector<std::string> got = {next("240115060000"), next("240115060000")};
  for (int i = 0; i < 5; ++i) got.push_back(next("240115080000"));
  EXPECT_EQ(
      got, (std::vector<std::string>{"24011503", "24011504", "24011505",
                                     "24011506", "24011507", "-", "24011505"}));
  EXPECT_EQ(file.table.pending.count, 3);
}

}  // namespace
