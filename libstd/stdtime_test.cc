#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

#include "libstd.h"

namespace {

constexpr const char *Eastern = "EST5EDT,M3.2.0,M11.1.0";
constexpr const char *Sydney = "AEST-10AEDT,M10.1.0,M4.1.0/3";

void zone(const char *tz) { setenv("TZ", tz, 1), tzset(); }

time_t utc(int y, int mo, int d, int h, int mi, int s = 0) {
  struct tm tm = {s, mi, h, d, mo - 1, y - 1900, 0, 0, 0, 0, nullptr};
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
  // text, instant, whether the text is also the key of the instant
  const std::tuple<const char *, time_t, bool> cases[] = {
      {"240115103005", utc(2024, 1, 15, 15, 30, 5), true},
      {"690101000000", utc(1969, 1, 1, 5, 0), true},
      {"681231000000", utc(2068, 12, 31, 5, 0), true},
      {"691231185959", -1, true},  // a valid instant, not a failure
      {"2401", utc(2024, 1, 1, 5, 0), false},
      {"2401151", utc(2024, 1, 15, 6, 0), false},
      {"2401151030059x", utc(2024, 1, 15, 15, 30, 5), false},
      {"241301240000", utc(2025, 1, 2, 5, 0), false}};
  for (auto [text, t, formats] : cases) {
    EXPECT_EQ(formats ? key(t) : text, text);
    EXPECT_EQ(parse(text), t) << text;
  }
  EXPECT_EQ(key(utc(2024, 1, 15, 10, 0), 12), "-1");      // no room for the NUL
  EXPECT_EQ(key(utc(1895, 6, 1, 0, 0)), "-1");            // no two-digit year
  EXPECT_EQ(key(utc(2069, 3, 1, 5, 0)), "690301000000");  // window wraps
  time_t t = 0, before = time(nullptr);  // 0, empty or unreadable: now
  char buf[13];
  ASSERT_EQ(std_time_format(&t, nullptr, nullptr, buf, 13, 1), 12);
  EXPECT_TRUE(t >= before && t <= time(nullptr) && key(t) == buf);
  for (const char *text : {"", " \t\n", "x2401", (const char *)nullptr}) {
    t = parse(text);
    EXPECT_TRUE(t >= before && t <= time(nullptr)) << t;
  }
  EXPECT_EQ(std_time_parse("2024", "%Y-%m", 1, &t, nullptr), 0);
  EXPECT_EQ(t, 0);
}

// Every minute around a change keys and reads back to itself; in the
// repeated hour the read may choose the other pass.
TEST(StdTime, RoundTripAcrossChanges) {
  for (auto [tz, change] : {std::pair{Eastern, utc(2024, 3, 10, 7, 0)},
                            {Eastern, utc(2024, 11, 3, 6, 0)},
                            {Sydney, utc(2024, 10, 5, 16, 0)},
                            {Sydney, utc(2024, 4, 6, 16, 0)}}) {
    zone(tz);
    for (time_t t = change - 7200; t <= change + 7200; t += 60) {
      std::string k = key(t);
      time_t back = parse(k.c_str());
      EXPECT_EQ(key(back), k);
      EXPECT_TRUE(back == t || std::abs(back - t) == 3600) << k;
    }
  }
  zone(Eastern);  // 02:30 is skipped, 01:30 repeated: either instant will do
  time_t t = parse("240310023000");
  EXPECT_TRUE(t == utc(2024, 3, 10, 6, 30) || t == utc(2024, 3, 10, 7, 30));
  t = parse("241103013000");
  EXPECT_TRUE(t == utc(2024, 11, 3, 5, 30) || t == utc(2024, 11, 3, 6, 30));
}

TEST(StdTime, Records) {
  zone(Eastern);
  time_t t = utc(2024, 7, 4, 12, 0);
  StdTimeValue v;
  memset(&v, 'x', sizeof v);
  ASSERT_EQ(std_time_break(&t, &v, 0), 1);
  EXPECT_EQ(std::tuple(v.hour, v.mday, v.mon, v.year, v.wday, v.isdst, v.gmtoff,
                       std::string(v.zone, 4)),
            std::tuple(12, 4, 6, 2024, 4, 0, 0, std::string("GMT", 4)));
  // UTC fields in a local gap or repeat name their own instant.
  EXPECT_EQ(parse("240310023000", 0), utc(2024, 3, 10, 2, 30));
  EXPECT_EQ(parse("241103013000", 0), utc(2024, 11, 3, 1, 30));
  v = {};
  v.year = 2024, v.mon = 1, v.mday = 31, v.hour = 12;
  ASSERT_EQ(std_time_make(&v, 1, &t), 1);
  EXPECT_EQ(t, utc(2024, 3, 2, 17, 0));
  EXPECT_EQ(std::tuple(v.mon, v.mday, v.wday, v.yday, v.gmtoff),
            std::tuple(2, 2, 6, 61, -5 * 3600));
  v = {};
  v.year = INT32_MAX, v.mon = 12, v.mday = 1;  // a year the record cannot hold
  EXPECT_EQ(std_time_make(&v, 0, &t), 0);
  EXPECT_EQ(t, 0);
  zone(Sydney);
  ASSERT_EQ(std_time_parse("2401151030", nullptr, 1, &t, &v), 1);
  EXPECT_EQ(std::tuple(v.hour, v.isdst, v.gmtoff), std::tuple(10, 1, 39600));
  EXPECT_EQ(memcmp(v.zone, "AED", 4), 0);  // four letters keep three
}

TEST(StdTime, FineTime) {
  // a, b, b - a, a + b
  const StdFineTime cases[][4] = {
      {{5, 250000}, {7, 100000}, {1, 850000}, {12, 350000}},
      {{7, 100000}, {5, 250000}, {-1, -850000}, {12, 350000}},
      {{-1, -600000}, {-2, -700000}, {-1, -100000}, {-4, -300000}},
      {{5, 0}, {0, -300000}, {-5, -300000}, {5, -300000}}};
  for (const auto &c : cases) {
    StdFineTime d = c[0], s = c[1];  // results written over an operand
    std_finetime_diff(&d, &c[1], &d);
    std_finetime_add(&c[0], &s, &s);
    EXPECT_EQ(std::tuple(d.sec, d.usec, s.sec, s.usec),
              std::tuple(c[2].sec, c[2].usec, c[3].sec, c[3].usec));
  }
}

TEST(StdDt, Format) {
  // seconds, format, size, result, the buffer afterwards (also after -1)
  const std::tuple<int32_t, const char *, uint32_t, int, const char *> cases[] =
      {{90061, nullptr, 11, 10, "0001010101"},
       {863999999, nullptr, 20, 10, "9999235959"},
       {864000000, nullptr, 20, -1, nullptr},
       {90061, nullptr, 10, -1, ""},
       {90061, "%j %H:%M:%S", 14, 13, "0001 01:01:01"},
       {90061, "%j %H:%M:%S", 13, -1, "0001 01:01:0"},
       {90061, "a%j", 4, -1, "a"},  // no stray bytes before the NUL
       {0, "100%%%x%h%J", 12, 10, "100%%x%h%J"},
       {0, "end%", 4, -1, "end"},
       {0, "", 1, 0, ""},
       {-5, "%S", 3, 2, "31"}};
  for (auto [seconds, format, size, result, text] : cases) {
    char buf[32];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(std_dt_format(&seconds, format, buf, size), result);
    EXPECT_STREQ(text ? buf : "", text ? text : "");
    EXPECT_EQ(buf[size], 'x');
  }
}

TEST(StdDt, Parse) {
  // text, format, count; -7 means failure, the count left alone
  const std::tuple<const char *, const char *, int32_t> cases[] = {
      {"0001010101", nullptr, 90061},
      {"00002599", nullptr, 95940},
      {"-001", nullptr, -86400},
      {" ", nullptr, -7},
      {"x1", nullptr, 0},
      {"12:30:45", "%H:%M", 45000},
      {"24:00", "%H:%M", -7},
      {"1:30", "%H:%M", -7},
      {"12.30", "%H:%M", -7},
      {"00:60", "%M:%S", -7},
      {"%x%05%", "%x%%%S%", 5},
      {"05", "%S%", -7},
      {"any", "", 0}};
  for (auto [text, format, want] : cases) {
    int32_t seconds = -7;
    EXPECT_EQ(std_dt_parse(text, format, &seconds), want != -7) << text;
    EXPECT_EQ(seconds, want) << text;
  }
  for (auto [y, want] : {std::pair{0, 2000},
                         {68, 2068},
                         {69, 1969},
                         {99, 1999},
                         {100, 0},
                         {-1, 0}})
    EXPECT_EQ(std_y2_to_y4(y), want);
}

}  // namespace
