#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "libstd.h"

namespace {

constexpr const char *Eastern = "EST5EDT,M3.2.0,M11.1.0";
constexpr const char *Sydney = "AEST-10AEDT,M10.1.0,M4.1.0/3";

void set_zone(const char *tz) {
  setenv("TZ", tz, 1);
  tzset();
}

time_t utc(int y, int mo, int d, int h, int mi, int s) {
  struct tm tm = {};
  tm.tm_year = y - 1900, tm.tm_mon = mo - 1, tm.tm_mday = d;
  tm.tm_hour = h, tm.tm_min = mi, tm.tm_sec = s;
  return timegm(&tm);
}

std::string key(time_t t) {
  char buf[13];
  EXPECT_EQ(std_time_format(&t, nullptr, nullptr, buf, sizeof buf, 1), 12);
  return buf;
}

time_t parse(const char *text, int local = 1) {
  time_t t = 42;
  EXPECT_EQ(std_time_parse(text, nullptr, local, &t, nullptr), 1) << text;
  return t;
}

TEST(StdTime, FormatKey) {
  set_zone(Eastern);
  EXPECT_EQ(key(utc(2024, 1, 15, 15, 30, 5)), "240115103005");
  EXPECT_EQ(key(utc(2024, 7, 4, 4, 0, 59)), "240704000059");  // EDT
  set_zone(Sydney);
  EXPECT_EQ(key(utc(2024, 1, 15, 15, 30, 5)), "240116023005");  // AEDT
}

TEST(StdTime, FormatKeyLimits) {
  set_zone("UTC0");
  time_t t = utc(2024, 1, 15, 10, 30, 5);
  char buf[16];
  memset(buf, 'x', sizeof buf);
  EXPECT_EQ(std_time_format(&t, nullptr, nullptr, buf, 12, 1), -1);
  EXPECT_EQ(buf[0], 'x');
  // No two-digit year before 1900, and never a write past size.
  t = utc(1895, 6, 1, 0, 0, 0);
  EXPECT_EQ(std_time_format(&t, nullptr, nullptr, buf, 13, 1), -1);
  t = utc(1850, 6, 1, 0, 0, 0);
  EXPECT_EQ(std_time_format(&t, nullptr, nullptr, buf, 13, 1), -1);
  EXPECT_EQ(buf[13], 'x');
  // 2069 and later wrap to a key read one hundred years earlier.
  t = utc(2069, 3, 1, 0, 0, 0);
  EXPECT_EQ(key(t), "690301000000");
  EXPECT_EQ(parse("690301000000"), utc(1969, 3, 1, 0, 0, 0));
}

TEST(StdTime, ZeroMeansNow) {
  set_zone(Eastern);
  time_t before = time(nullptr), t = 0;
  char buf[13];
  ASSERT_EQ(std_time_format(&t, nullptr, nullptr, buf, sizeof buf, 1), 12);
  EXPECT_GE(t, before);
  EXPECT_LE(t, time(nullptr));
  EXPECT_EQ(key(t), buf);
  ASSERT_EQ(std_time_format(nullptr, nullptr, "%Y", buf, sizeof buf, 1), 4);
}

TEST(StdTime, ParseKeyForms) {
  set_zone(Eastern);
  struct Case {
    const char *text;
    time_t want;
  } cases[] = {
      {"240115103005", utc(2024, 1, 15, 15, 30, 5)},
      {"2401", utc(2024, 1, 1, 5, 0, 0)},
      {"24", utc(2024, 1, 1, 5, 0, 0)},
      {"2401151", utc(2024, 1, 15, 6, 0, 0)},
      {"240115103005abc", utc(2024, 1, 15, 15, 30, 5)},
      {"2401151030059", utc(2024, 1, 15, 15, 30, 5)},
      {"991231235959", utc(2000, 1, 1, 4, 59, 59)},
      {"690101000000", utc(1969, 1, 1, 5, 0, 0)},
      {"681231000000", utc(2068, 12, 31, 5, 0, 0)},
      {"000101000000", utc(2000, 1, 1, 5, 0, 0)},
      {"241301000000", utc(2025, 1, 1, 5, 0, 0)},
      {"240101240000", utc(2024, 1, 2, 5, 0, 0)},
      // One second before the epoch is a time like any other.
      {"691231185959", -1},
  };
  for (const Case &c : cases) EXPECT_EQ(parse(c.text), c.want) << c.text;
}

TEST(StdTime, ParseEmptyIsNow) {
  set_zone(Eastern);
  for (const char *text :
       {"", "  \t\n", "x2401", static_cast<const char *>(nullptr)}) {
    time_t before = time(nullptr);
    time_t t = parse(text);
    EXPECT_GE(t, before);
    EXPECT_LE(t, time(nullptr));
  }
  EXPECT_EQ(std_time_parse("", nullptr, 1, nullptr, nullptr), 1);
}

TEST(StdTime, ParseFailures) {
  set_zone(Eastern);
  time_t t = 42;
  EXPECT_EQ(std_time_parse("2024", "%Y-%m", 1, &t, nullptr), 0);
  EXPECT_EQ(t, 0);
  StdTimeValue v;
  ASSERT_EQ(std_time_parse("2024-02-31", "%Y-%m-%d", 0, &t, &v), 1);
  EXPECT_EQ(t, utc(2024, 3, 2, 0, 0, 0));
  EXPECT_EQ(v.mday, 2);
  EXPECT_EQ(v.mon, 2);
}

// Every minute around both changes of a year keys and reads back to itself;
// in the repeated hour the read may choose the other pass.
void round_trip(time_t start) {
  for (time_t t = start - 7200; t <= start + 7200; t += 60) {
    std::string k = key(t);
    time_t back = parse(k.c_str());
    EXPECT_EQ(key(back), k);
    if (back != t) {
      EXPECT_EQ(std::abs(back - t), 3600) << k;
    }
  }
}

TEST(StdTime, RoundTripAcrossChanges) {
  set_zone(Eastern);
  round_trip(utc(2024, 3, 10, 7, 0, 0));
  round_trip(utc(2024, 11, 3, 6, 0, 0));
  set_zone(Sydney);
  round_trip(utc(2024, 10, 5, 16, 0, 0));
  round_trip(utc(2024, 4, 6, 16, 0, 0));
}

TEST(StdTime, SkippedAndRepeatedHour) {
  set_zone(Eastern);
  // 02:30 does not exist on 2024-03-10: either neighbouring reading will do.
  time_t t = parse("240310023000");
  EXPECT_TRUE(t == utc(2024, 3, 10, 6, 30, 0) ||
              t == utc(2024, 3, 10, 7, 30, 0));
  // 01:30 on 2024-11-03 happens twice.
  t = parse("241103013000");
  EXPECT_TRUE(t == utc(2024, 11, 3, 5, 30, 0) ||
              t == utc(2024, 11, 3, 6, 30, 0));
  EXPECT_EQ(key(utc(2024, 11, 3, 5, 30, 0)), key(utc(2024, 11, 3, 6, 30, 0)));
}

TEST(StdTime, UtcRecords) {
  set_zone(Eastern);
  time_t t = utc(2024, 7, 4, 12, 0, 0);
  StdTimeValue v;
  memset(&v, 'x', sizeof v);
  ASSERT_EQ(std_time_break(&t, &v, 0), 1);
  EXPECT_EQ(v.hour, 12);
  EXPECT_EQ(v.year, 2024);
  EXPECT_EQ(v.mon, 6);
  EXPECT_EQ(v.wday, 4);
  EXPECT_EQ(v.isdst, 0);
  EXPECT_EQ(v.gmtoff, 0);
  EXPECT_EQ(memcmp(v.zone, "GMT", 4), 0);
  ASSERT_EQ(std_time_break(&t, &v, 1), 1);
  EXPECT_EQ(v.hour, 8);
  EXPECT_EQ(v.isdst, 1);
  EXPECT_EQ(v.gmtoff, -4 * 3600);
  EXPECT_STREQ(v.zone, "EDT");
  // Four-letter abbreviations keep three letters.
  set_zone(Sydney);
  ASSERT_EQ(std_time_break(&t, &v, 1), 1);
  EXPECT_EQ(memcmp(v.zone, "AES", 4), 0);
  EXPECT_EQ(v.gmtoff, 10 * 3600);
  // UTC fields that are a local gap in the process's zone still name their
  // own instant.
  set_zone(Eastern);
  EXPECT_EQ(parse("240310023000", 0), utc(2024, 3, 10, 2, 30, 0));
  EXPECT_EQ(parse("241103013000", 0), utc(2024, 11, 3, 1, 30, 0));
}

TEST(StdTime, Make) {
  set_zone(Eastern);
  StdTimeValue v = {};
  v.year = 2024, v.mon = 1, v.mday = 31, v.hour = 12;
  time_t t;
  ASSERT_EQ(std_time_make(&v, 1, &t), 1);
  EXPECT_EQ(t, utc(2024, 3, 2, 17, 0, 0));
  EXPECT_EQ(v.mon, 2);
  EXPECT_EQ(v.mday, 2);
  EXPECT_EQ(v.wday, 6);
  EXPECT_EQ(v.yday, 61);
  EXPECT_STREQ(v.zone, "EST");
  v = {};
  v.year = 2024, v.mon = 2, v.mday = 10, v.hour = 2, v.min = 30;
  ASSERT_EQ(std_time_make(&v, 0, &t), 1);
  EXPECT_EQ(t, utc(2024, 3, 10, 2, 30, 0));
  EXPECT_EQ(v.hour, 2);
  EXPECT_STREQ(v.zone, "GMT");
}

TEST(StdTime, FineTime) {
  struct Case {
    StdFineTime a, b, diff, sum;
  } cases[] = {
      {{5, 250000}, {7, 100000}, {1, 850000}, {12, 350000}},
      {{7, 100000}, {5, 250000}, {-1, -850000}, {12, 350000}},
      {{10, 0}, {8, 500000}, {-1, -500000}, {18, 500000}},
      {{1, 600000}, {2, 700000}, {1, 100000}, {4, 300000}},
      {{-1, -600000}, {-2, -700000}, {-1, -100000}, {-4, -300000}},
      {{5, 0}, {0, -300000}, {-5, -300000}, {5, -300000}},
  };
  for (const Case &c : cases) {
    StdFineTime r;
    std_finetime_diff(&c.a, &c.b, &r);
    EXPECT_EQ(r.sec, c.diff.sec);
    EXPECT_EQ(r.usec, c.diff.usec);
    std_finetime_add(&c.a, &c.b, &r);
    EXPECT_EQ(r.sec, c.sum.sec);
    EXPECT_EQ(r.usec, c.sum.usec);
  }
  StdFineTime a = {3, 900000}, b = {1, 200000};
  std_finetime_add(&a, &b, &a);
  EXPECT_EQ(a.sec, 5);
  EXPECT_EQ(a.usec, 100000);
  std_finetime_diff(&a, &b, &b);
  EXPECT_EQ(b.sec, -3);
  EXPECT_EQ(b.usec, -900000);
  ASSERT_EQ(std_finetime_get(&a), 1);
  EXPECT_GE(a.usec, 0);
  EXPECT_LT(a.usec, 1000000);
}

}  // namespace
