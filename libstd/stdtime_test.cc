#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

#include "libstd.h"

namespace {

constexpr const char *Eastern = "EST5EDT,M3.2.0,M11.1.0";
constexpr const char *Sydney = "AEST-10AEDT,M10.1.0,M4.1.0/3";

void zone(const char *tz) { setenv("TZ", tz, 1), tzset(); }

time_t utc(int y, int mo, int d, int h, int mi) {
  struct tm tm = {0, mi, h, d, mo - 1, y - 1900, 0, 0, 0, 0, nullptr};
  return timegm(&tm);
}

// The key of t, or the failing result as text; never a write past size.
std::string key(time_t t, uint32_t size = 13) {
  char buf[32];
  memset(buf, 'x', sizeof buf);
  int n = std_time_format(&t, nullptr, nullptr, buf, size, 1);
  EXPECT_EQ(buf[size], 'x');
  return n == 12 ? std::string(buf) : std::to_string(n);
}

time_t parse(const char *text, int local = 1) {
  time_t t = 42;
  EXPECT_EQ(std_time_parse(text, nullptr, local, &t, nullptr), 1) << text;
  return t;
}

TEST(StdTime, Keys) {
  zone(Eastern);
  // The window's edges; -1 is an instant, not a failure.
  for (auto [text, t] : {std::pair{"690101000000", utc(1969, 1, 1, 5, 0)},
                         {"681231000000", utc(2068, 12, 31, 5, 0)},
                         {"691231185959", time_t{-1}}}) {
    EXPECT_EQ(key(t), text);
    EXPECT_EQ(parse(text), t) << text;
  }
  EXPECT_EQ(parse("2401"), utc(2024, 1, 1, 5, 0));        // fields completed
  EXPECT_EQ(key(utc(2024, 1, 15, 10, 0), 12), "-1");      // no room for the NUL
  EXPECT_EQ(key(utc(1895, 6, 1, 0, 0)), "-1");            // no two-digit year
  EXPECT_EQ(key(utc(2069, 3, 1, 5, 0)), "690301000000");  // window wraps
  time_t t = 42, before = time(nullptr);  // empty or unreadable text: now
  for (const char *text : {"", " \t\n", "x2401", (const char *)nullptr})
    EXPECT_GE(parse(text), before) << text;
  EXPECT_EQ(std_time_parse("2024", "%Y-%m", 1, &t, nullptr), 0);
  EXPECT_EQ(t, 0);
}

// Every minute around a change keys and reads back (a repeat maybe as the
// other pass).
TEST(StdTime, RoundTripAcrossChanges) {
  zone(Eastern);
  for (time_t change : {utc(2024, 3, 10, 7, 0), utc(2024, 11, 3, 6, 0)}) {
    for (time_t t = change - 7200; t <= change + 7200; t += 60) {
      std::string k = key(t);
      time_t back = parse(k.c_str());
      EXPECT_EQ(key(back), k);
      EXPECT_TRUE(back == t || std::abs(back - t) == 3600) << k;
    }
  }
  // 02:30 is skipped: either side will do
  time_t t = parse("240310023000");
  EXPECT_TRUE(t == utc(2024, 3, 10, 6, 30) || t == utc(2024, 3, 10, 7, 30));
  // UTC fields in a local gap name their own instant.
  EXPECT_EQ(parse("240310023000", 0), utc(2024, 3, 10, 2, 30));
}

TEST(StdTime, Records) {
  zone(Eastern);
  StdTimeValue v = {};
  v.year = 2024, v.mon = 1, v.mday = 31, v.hour = 12;
  time_t t;
  ASSERT_EQ(std_time_make(&v, 1, &t), 1);
  EXPECT_EQ(std::tuple(t, v.mon, v.mday, v.wday, v.yday, v.gmtoff),
            std::tuple(utc(2024, 3, 2, 17, 0), 2, 2, 6, 61, -5 * 3600));
  v.year = INT32_MAX, v.mon = 12;  // a year the record cannot hold
  EXPECT_EQ(std_time_make(&v, 0, &t), 0);
  EXPECT_EQ(t, 0);
  t = utc(INT32_MAX, 12, 31, 23, 0) + 3600;
  EXPECT_EQ(std_time_break(&t, &v, 0), 0);
  zone(Sydney);  // January is summer
  ASSERT_EQ(std_time_parse("2401151030", nullptr, 1, &t, &v), 1);
  EXPECT_EQ(std::tuple(v.hour, v.isdst, v.gmtoff), std::tuple(10, 1, 39600));
  EXPECT_EQ(memcmp(v.zone, "AED", 4), 0);  // four letters keep three
  ASSERT_EQ(std_time_break(&t, &v, 0), 1);
  EXPECT_EQ(std::tuple(v.hour, v.isdst, v.gmtoff, std::string(v.zone, 4)),
            std::tuple(23, 0, 0, std::string("GMT", 4)));
}

TEST(StdTime, FineTime) {
  // a, b, b - a, a + b; results are written over an operand
  const StdFineTime cases[][4] = {
      {{5, 600000}, {7, 400000}, {1, 800000}, {13, 0}},
      {{-1, -600000}, {-2, -400000}, {0, -800000}, {-4, 0}},
      {{5, 0}, {0, -300000}, {-5, -300000}, {5, -300000}}};
  for (const auto &c : cases) {
    StdFineTime d = c[0], s = c[1];
    std_finetime_diff(&d, &c[1], &d);
    std_finetime_add(&c[0], &s, &s);
    EXPECT_EQ(std::tuple(d.sec, d.usec, s.sec, s.usec),
              std::tuple(c[2].sec, c[2].usec, c[3].sec, c[3].usec));
  }
}

TEST(StdDt, FormatAndParse) {
  // seconds, format, size, result, the buffer afterwards (also after -1)
  // clang-format off
  const std::tuple<int32_t, const char *, uint32_t, int, const char *>
      cases[] = {
      {90061, nullptr, 11, 10, "0001010101"}, {90061, nullptr, 10, -1, ""},
      {863999999, nullptr, 20, 10, "9999235959"},
      {864000000, nullptr, 20, -1, nullptr},
      {90061, "%j %H:%M:%S", 14, 13, "0001 01:01:01"},
      {90061, "%j %H:%M:%S", 13, -1, "0001 01:01:0"},
      {90061, "a%j", 4, -1, "a"},  // no stray bytes before the NUL
      {0, "1%%%x%h", 5, -1, "1%%x"}};  // no room for "%h"
  // clang-format on
  for (auto [seconds, format, size, result, text] : cases) {
    char buf[32];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(std_dt_format(&seconds, format, buf, size), result);
    EXPECT_STREQ(text ? buf : "", text ? text : "");
    EXPECT_EQ(buf[size], 'x');
  }
  // text, format, count; -7 means failure, the count left alone
  // clang-format off
  const std::tuple<const char *, const char *, int32_t> texts[] = {
      {"9999235958", nullptr, 863999998}, {" ", nullptr, -7},
      {"12:30:45", "%H:%M", 45000},       {"24:00", "%H:%M", -7},
      {"1:30", "%H:%M", -7},              {"1x:30", "%H:%M", -7},
      {"00:60", "%M:%S", -7},             {"%x%05%", "%x%%%S%", 5},
      {"%y", "%x", -7},                   {"05", "%S%", -7}};
  // clang-format on
  for (auto [text, format, want] : texts) {
    int32_t seconds = -7;
    EXPECT_EQ(std_dt_parse(text, format, &seconds), want != -7) << text;
    EXPECT_EQ(seconds, want) << text;
  }
  const int y2[] = {0, 68, 69, 99, 100, -1},
            y4[] = {2000, 2068, 1969, 1999, 0, 0};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(std_y2_to_y4(y2[i]), y4[i]);
}

}  // namespace
