#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "libicf.h"

namespace {

time_t T(const std::string &key) {
  time_t t;
  icf_cnv_time(key.c_str(), &t);
  return t;
}

IcfTable table_of(int32_t period, IcfEntry *slots, int32_t capacity) {
  return {period, 3, capacity, -1, -1, slots, {}, nullptr};
}

// period, newest entry ("-": none), now, include_current, then the keys
// appended; hhmm means that time on the day of the newest entry (or now).
// EST5EDT in 2024: summer time from 10 March 02:00 to 3 November 02:00.
const char *const Cases[] = {
    "900 241103000000 241103021500 0 0015 0030 0045 0100 0115 0130 0145 0200",
    "900 240310014500 240310033000 0 0300 0315",
    "3600 241103000000 241103040000 0 0100 0200 0300",
    "3600 240310010000 240310050000 0 0300 0400",
    "7200 240310000000 240310090000 0 0300 0400 0600",
    "7200 241103000000 241103050000 0 0200",
    "86400 240309000000 240313120000 0 240310000000 240311000000 240312000000",
    "86400 241102000000 241106120000 0 241103000000 241104000000 241105000000",
    "86400 240714000000 240715233000 0",  // a day is due once it has ended
    "900 240115120000 240115100000 1",
    "900 - 240115103210 0 1015",
    "900 - 240115103010 0 1000 1015",
    "900 - 240115103010 1 1015 1030",
    "21600 - 240115103010 0 0300",
    "21600 240115030000 240117060010 0 0800 1300 1800 240116000000 "
    "240116060000 240116120000 240116180000 240117000000",
    "86400 - 240115103010 0 240113110000 240113120000 240113130000 "
    "240113140000 240113150000 240113160000 240113170000 240113180000 "
    "240113190000 240113200000 240113210000 240113220000 240113230000 "
    "240114000000",
    "3600 390601000000 390601030000 0 0100 0200",  // past 2038
};

TEST(Scheduler, AppendsWorkedExamples) {
  setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
  tzset();
  for (const char *c : Cases) {
    std::istringstream in(c);
    int32_t period;
    int include_current;
    std::string newest, now, key;
    in >> period >> newest >> now >> include_current;
    const std::string day = (newest != "-" ? newest : now).substr(0, 6);
    std::vector<std::string> expected, appended;
    while (in >> key)
      expected.push_back(key.size() == 4 ? day + key + "00" : key);
    IcfEntry slots[32] = {};
    IcfFile file = {};
    file.table = table_of(period, slots, 32);
    queue_create(&file.table.pending, &file.table, nullptr);
    if (newest != "-")
      icf_entry_new(&file.table, T(newest), newest.c_str(), "", 's', 0);
    const int before = file.table.last + 1;
    IcfEntry *first = quenlor(&file, T(now), include_current);
    for (int i = before; i <= file.table.last; ++i) {
      char text[13];
      ASSERT_TRUE(icf_cnv_time_str(slots[i].time, text));
      EXPECT_STREQ(text, slots[i].key);
      EXPECT_EQ(slots[i].time, T(text)) << c;  // first pass of a repeated hour
      appended.push_back(text);
    }
    EXPECT_EQ(appended, expected) << c;
    EXPECT_EQ(first, expected.empty() ? nullptr : &slots[before]);
  }
}

TEST(Scheduler, RingWrapKeepsPendingOrderAndCursor) {
  setenv("TZ", "UTC0", 1);
  tzset();
  IcfEntry slots[3] = {};
  IcfFile file = {};
  file.table = table_of(3600, slots, 3);
  queue_create(&file.table.pending, &file.table, nullptr);
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
  EXPECT_EQ(file.table.last, 0);
  EXPECT_EQ(icf_find(&file, T("24011500")), nullptr);
  for (const char *hour : {"24011501", "24011502", "24011503"})
    EXPECT_EQ(icf_find(&file, T(hour))->time, T(hour));
}

}  // namespace
