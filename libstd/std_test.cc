#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>

#include "libstd.h"

namespace {

// The text in buf, failing when a byte past `size` lost its '#' fill.
std::string within(const char *buf, uint32_t size) {
  EXPECT_EQ(strspn(buf + size, "#"), 16 - size) << "wrote past " << size;
  return buf;
}

TEST(StdStr, CopyFillCatPrint) {
  // size, source, the copy, the copy after cat "de", "", "fg"
  const std::tuple<uint32_t, const char *, const char *, const char *> cases[] =
      {{13, "1234567890123", "123456789012", "123456789012"},  // one short
       {13, "12345678901", "12345678901", "12345678901d"},     // cat: one short
       {8, "abc", "abc", "abcdefg"},                           // cat: exact fit
       {4, "abcdef", "abc", "abc"},  // full: cat reads no source
       {1, "abc", "", ""}};
  for (auto [size, source, copy, cat] : cases) {
    char buf[17] = "################";
    EXPECT_EQ(within(std_strcpy(buf, size, source), size), copy);
    EXPECT_EQ(within(std_strcat(buf, size, "de", "", "fg", nullptr), size),
              cat);
    EXPECT_EQ(within(std_strfill(buf, size, '*'), size),
              std::string(size - 1, '*'));
    // A text cut to size is a failure.
    EXPECT_EQ(std_snprintf(buf, size, "%s", source),
              strlen(source) < size ? int(strlen(source)) : -1);
    EXPECT_EQ(within(buf, size), copy);
  }
  char guard = '#';  // size 0: never touched
  std_strcat(std_strfill(std_strcpy(&guard, 0, "a"), 0, '*'), 0, "b", nullptr);
  EXPECT_EQ(std_snprintf(&guard, 0, "x"), -1);
  EXPECT_EQ(guard, '#');
  char raw[4] = {'w', 'x', 'y', 'z'};  // unterminated: cut, not overread
  EXPECT_STREQ(std_strcat(raw, 4, "a", nullptr), "wxy");
  char *copy = std_strdup(nullptr, "abc");
  EXPECT_STREQ(copy, "abc");
  std_free(nullptr, copy);
}

// Ranges that touch do not overlap; starts and lengths at their limits.
TEST(StdUtil, Overlap) {
  // clang-format off
  const std::tuple<int64_t, uint32_t, int64_t, uint32_t, int> cases[] = {
      {10, 5, 14, 1, 1}, {10, 5, 15, 1, 0}, {14, 1, 10, 5, 1}, {9, 1, 10, 5, 0},
      {10, 10, 12, 0, 0}, {INT64_MIN, 1, INT64_MAX, UINT32_MAX, 0},
      {INT64_MAX, UINT32_MAX, INT64_MAX - 1, 2, 1},
      {0, 0x80000000u, 0x80000000, 0x80000000u, 0}};  // lengths sum to 2^32
  // clang-format on
  for (auto [s1, l1, s2, l2, want] : cases)
    EXPECT_EQ(std_util_overlap(s1, l1, s2, l2), want) << s1 << " " << s2;
}

TEST(StdChar, DigitsInEveryBase) {
  // fn 0 todigval, 1 todigcode; a base counts by its low 16 bits (65546: 10)
  const int cases[][4] = {
      // clang-format off
      {0, '8', 8, -1},   {0, 'f', 16, 15},  {0, '0', 1, -1},  {0, -207, 10, -1},
      {0, '9', 65546, 9}, {1, 15, 16, 'F'}, {1, 10, 10, -1},  {1, -1, 10, -1},
      {1, 9, 37, -1},
      // clang-format on
  };
  for (auto [fn, argument, base, want] : cases)
    EXPECT_EQ((fn ? std_char_todigcode : std_char_todigval)(argument, base),
              want);
  for (int base = 2; base <= 36; ++base)
    for (int v = 0; v < base; ++v)
      EXPECT_EQ(std_char_todigval(std_char_todigcode(v, base), base), v);
}

// A table whose functions log their calls and fail on request.
std::string calls;
bool failing;
void *logged(char kind, uint32_t size, void *block) {
  calls += kind + std::to_string(size) + " ";
  if (failing) free(block);
  return failing ? nullptr : block;
}
AllocMethods logging = {
    [](uint32_t n, void *) { return logged('m', n, malloc(n)); },
    [](uint32_t k, uint32_t n, void *) {
      return logged('c', k * n, calloc(k, n));
    },
    [](void *p, uint32_t n, void *) {
      return failing ? logged('r', n, nullptr) : logged('r', n, realloc(p, n));
    },
    [](void *p, void *) { logged('f', 0, nullptr), free(p); }, nullptr};

// Zero sizes call nothing; a failed realloc keeps the old block, a realloc
// to size 0 frees it; a null table means the default one.
TEST(StdAlloc, CallsAndFailures) {
  std_alloc_set(&logging);
  calls = "", failing = false;
  for (void *p : {std_malloc(nullptr, 0), std_calloc(nullptr, 0, 8),
                  std_calloc(nullptr, 8, 0), std_realloc(nullptr, nullptr, 0)})
    EXPECT_EQ(p, nullptr);
  char *p = static_cast<char *>(std_realloc(nullptr, nullptr, 4));
  std_strcpy(p, 4, "abc");
  p = static_cast<char *>(std_realloc(nullptr, p, 100));
  failing = true;
  EXPECT_EQ(std_calloc(nullptr, 3, 5), nullptr);
  EXPECT_EQ(std_realloc(nullptr, p, 64), nullptr);
  EXPECT_STREQ(p, "abc");
  EXPECT_EQ(std_realloc(nullptr, p, 0), nullptr);
  EXPECT_EQ(calls, "m4 r100 c15 r64 f0 ");
  std_alloc_set(nullptr);
  EXPECT_EQ(Default_Methods, &System_Defaults);
}

constexpr const char *Eastern = "EST5EDT,M3.2.0,M11.1.0";

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
  // The window's edges, summer time; -1 is an instant, not a failure.
  for (auto [text, t] : {std::pair{"690101000000", utc(1969, 1, 1, 5, 0)},
                         {"681231000000", utc(2068, 12, 31, 5, 0)},
                         {"240701120000", utc(2024, 7, 1, 16, 0)},
                         {"691231185959", time_t{-1}}}) {
    EXPECT_EQ(key(t), text);
    EXPECT_EQ(parse(text), t) << text;
  }
  EXPECT_EQ(parse("2401"), utc(2024, 1, 1, 5, 0));    // fields completed
  EXPECT_EQ(key(utc(2024, 1, 15, 10, 0), 12), "-1");  // no room for the NUL
  EXPECT_EQ(key(utc(1895, 6, 1, 0, 0)), "-1");        // no two-digit year
  EXPECT_EQ(key(utc(1899, 12, 31, 12, 0)), "-1");
  EXPECT_EQ(key(utc(2069, 3, 1, 5, 0)), "690301000000");  // window wraps
  // UTC fields in a local gap name their own instant.
  EXPECT_EQ(parse("240310023000", 0), utc(2024, 3, 10, 2, 30));
  time_t t = 42, before = time(nullptr);  // empty or unreadable text: now
  for (const char *text : {"", " \t\n", "x2401", (const char *)nullptr})
    EXPECT_GE(parse(text), before) << text;
  EXPECT_EQ(std_time_parse("2024", "%Y-%m", 1, &t, nullptr), 0);
  EXPECT_EQ(t, 0);
  StdTimeValue v = {};  // a year the record cannot hold
  v.year = INT32_MAX, v.mon = 12, v.mday = 1;
  EXPECT_EQ(std_time_make(&v, 0, &t), 0);
}

TEST(StdTime, FineTimeCarries) {
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
