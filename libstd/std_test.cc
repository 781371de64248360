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
       {8, "abc", "abc", "abcdefg"},                           // cat: exact fit
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
  // Ranges that touch do not overlap; lengths that sum to 2^32.
  EXPECT_EQ(std_util_overlap(10, 5, 14, 1) * 2 + std_util_overlap(10, 5, 15, 1),
            2);
  EXPECT_EQ(std_util_overlap(0, 0x80000000u, 0x80000000, 0x80000000u), 0);
}

TEST(StdChar, DigitsInEveryBase) {
  EXPECT_EQ(std_char_todigval('8', 8), -1);
  EXPECT_EQ(std_char_todigcode(9, 37), -1);
  for (int base = 2; base <= 36; ++base)
    for (int v = 0; v < base; ++v)
      EXPECT_EQ(std_char_todigval(std_char_todigcode(v, base), base), v);
  EXPECT_EQ(std_char_todigcode(15, 16), 'F');
}

std::string calls;
AllocMethods logging = {
    [](uint32_t n, void *) { return calls += "m", malloc(n); },
    [](uint32_t k, uint32_t n, void *) { return calls += "c", calloc(k, n); },
    [](void *p, uint32_t n, void *) { return calls += "r", realloc(p, n); },
    [](void *p, void *) { calls += "f", free(p); }, nullptr};

// Zero sizes call nothing; a realloc to size 0 frees the block.
TEST(StdAlloc, ZeroSizes) {
  std_alloc_set(&logging);
  EXPECT_EQ(std_calloc(nullptr, 0, 8), nullptr);
  EXPECT_EQ(std_realloc(nullptr, std_malloc(nullptr, 4), 0), nullptr);
  std_alloc_set(nullptr);
  EXPECT_EQ(calls, "mf");
}

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

TEST(StdTime, Keys) {
  setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1), tzset();
  // The window's edges, summer time; -1 is an instant, not a failure.
  for (auto [text, t] : {std::pair{"690101000000", utc(1969, 1, 1, 5, 0)},
                         {"681231000000", utc(2068, 12, 31, 5, 0)},
                         {"240701120000", utc(2024, 7, 1, 16, 0)},
                         {"691231185959", time_t{-1}}}) {
    time_t parsed = 42;
    EXPECT_EQ(key(t), text);
    EXPECT_EQ(std_time_parse(text, nullptr, 1, &parsed, nullptr), 1);
    EXPECT_EQ(parsed, t) << text;
  }
  EXPECT_EQ(key(utc(2024, 1, 15, 10, 0), 12), "-1");  // no room for the NUL
  EXPECT_EQ(key(utc(1899, 12, 31, 12, 0)), "-1");     // no two-digit year
  // Borrowing across whole seconds.
  StdFineTime a{-1, -600000}, b{-2, -400000};
  std_finetime_add(&a, &b, &b);
  EXPECT_TRUE(b.sec == -4 && b.usec == 0) << b.sec << " " << b.usec;
}

TEST(StdDt, FormatAndParse) {
  int32_t seconds = 90061;
  char buf[16];
  EXPECT_EQ(std_dt_format(&seconds, nullptr, buf, sizeof buf), 10);
  EXPECT_STREQ(buf, "0001010101");
  for (const char *text : {"24:00", "1:30"})
    EXPECT_EQ(std_dt_parse(text, "%H:%M", &seconds), 0) << text;
  EXPECT_EQ(std_y2_to_y4(69), 1969);
  EXPECT_EQ(std_y2_to_y4(68), 2068);
}

}  // namespace
