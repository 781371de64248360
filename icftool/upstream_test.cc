#include "upstream.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

namespace {

time_t T(const char *key) {
  time_t t;
  icf_cnv_time(key, &t);
  return t;
}

// An upstream file of `period` holding every interval of its grid from
// `from` to `to`, done but for `mark` (a key, or "").
struct Upstream {
  IcfFile file = {};
  Upstream(int32_t period, const char *from, const char *to,
           const std::string &mark, char letter) {
    IcfTable &t = file.table;
    t = {period, 3,       4000, -1, -1, icf_ring_new(4000),
         {},     nullptr, {},   0,  0,  {}};
    queue_create(&t.pending, &t, nullptr);
    for (time_t s = T(from); s <= T(to); s = icf_next_start(&t, s)) {
      char key[13];
      icf_cnv_time_str(s, key);
      icf_entry_new(&t, s, key, key, mark == key ? letter : 's', 0);
    }
  }
  ~Upstream() { icf_ring_free(file.table.entries, file.table.capacity); }
};

struct Case {
  const char *zone;
  int32_t up_period;
  const char *up_from, *up_to, *mark;  // up_from "": an empty upstream
  char letter;
  int32_t period;  // the downstream's
  const char *start;
  UpstreamState state;
  const char *key;  // the upstream interval waited on
};

constexpr UpstreamState Ready = Upstream_Ready, Status = Upstream_Status,
                        Later = Upstream_Not_Appended, Older = Upstream_Older;
const char *const NY = "America/New_York", *const LH = "Australia/Lord_Howe";

const Case Cases[] = {
    // The 25-hour day waits for the hour that lasts two, not for the days
    // around it.
    {NY, 3600, "241102000000", "241105000000", "", 's', 86400, "241103", Ready,
     ""},
    {NY, 3600, "241102000000", "241105000000", "241103010000", 'r', 86400,
     "241103", Status, "241103010000"},
    {NY, 3600, "241102000000", "241105000000", "241104000000", 'r', 86400,
     "241103", Ready, ""},
    {NY, 3600, "241102000000", "241105000000", "241102230000", 'x', 86400,
     "241103", Ready, ""},
    {NY, 3600, "241102000000", "241105000000", "241103230000", 'x', 86400,
     "241103", Status, "241103230000"},
    // The 23-hour day.
    {NY, 3600, "240309000000", "240312000000", "240310030000", 'r', 86400,
     "240310", Status, "240310030000"},
    {NY, 3600, "240309000000", "240312000000", "240310010000", 'a', 86400,
     "240311", Ready, ""},
    // Half-hour changes: a day of 24.5 and one of 23.5 hours.
    {LH, 3600, "240406000000", "240409000000", "240407010000", 'r', 86400,
     "240407", Status, "240407010000"},
    {LH, 3600, "240406000000", "240409000000", "", 's', 86400, "240407", Ready,
     ""},
    {LH, 3600, "241005000000", "241008000000", "241006230000", 'r', 86400,
     "241006", Status, "241006230000"},
    {LH, 3600, "241005000000", "241008000000", "241007000000", 'r', 86400,
     "241006", Ready, ""},
    // A quarter hour inside the hour that lasts two.
    {"", 3600, "241103000000", "241103050000", "241103010000", 'r', 900,
     "241103014500", Status, "241103010000"},
    {"", 3600, "241103000000", "241103050000", "241103010000", 'r', 900,
     "241103020000", Ready, ""},
    // Not appended yet: the hour after the newest, or far later.
    {"", 3600, "241103000000", "241103050000", "", 's', 86400, "241103", Later,
     "241103060000"},
    {"", 3600, "241103000000", "241103050000", "", 's', 86400, "241105", Later,
     "241105000000"},
    {"", 3600, "", "", "", 's', 86400, "241105", Later, "241105000000"},
    // No longer held: from the interval's start to the oldest entry.
    {"", 3600, "241103120000", "241104050000", "", 's', 86400, "241103", Older,
     "241103000000"},
};

TEST(Upstream, Readiness) {
  for (const Case &c : Cases) {
    const char *zone = *c.zone ? c.zone : "EST5EDT,M3.2.0,M11.1.0";
    setenv("TZ", zone, 1);
    tzset();
    if (*c.zone &&
        access((std::string("/usr/share/zoneinfo/") + zone).c_str(), F_OK))
      GTEST_SKIP() << "no zone file for " << zone;
    Upstream up(c.up_period, *c.up_from ? c.up_from : "000101",
                *c.up_from ? c.up_to : "991231", c.mark, c.letter);
    IcfTable down = {};
    down.period = c.period;
    const time_t start = T(c.start), end = icf_interval_end(&down, start);
    UpstreamWait wait;
    const bool ready = upstream_ready(&up.file, start, end, &wait);
    const std::string where = std::string(zone) + " " + c.start + " " + c.mark;
    EXPECT_EQ(ready, c.state == Ready) << where;
    EXPECT_EQ(wait.state, c.state) << where;
    if (c.state == Ready) continue;
    EXPECT_STREQ(wait.key, c.key) << where;
    EXPECT_EQ(wait.status, c.state == Status ? c.letter : 0) << where;
    // An interval no longer held is told by its part before the oldest.
    if (c.state == Older) {
      EXPECT_EQ(wait.end, T(c.up_from)) << where;
    }
  }
}

}  // namespace
