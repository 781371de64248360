// The fast catch-up against the step-by-step walk: the same table, brought up
// to date by each, must come out identical, slots, pending queue and cursor,
// and the same pending intervals reported as dropped from the ring.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <sstream>
#include <vector>

#include "icf_internal.h"

namespace {

// `entries` in the table before (0: empty), `seed` for their statuses, queue
// order and cursor.
struct Case {
  int32_t period, capacity, entries;
  time_t newest, now;
  int include_current;
  uint64_t seed;
};

// The table of `c` after one quenlor, as text: the slot returned, the ring
// bounds, the cursor, the pending order and every slot. Stamps taken from
// the clock read "clock", as the two runs may see different seconds.
std::string run(const Case &c, int fast) {
  IcfFile file{};
  IcfTable &t = file.table;
  std::vector<IcfEntry> slots(static_cast<size_t>(c.capacity));
  t = {c.period, 3,       c.capacity, -1, -1, slots.data(),
       {},       nullptr, {},         0,  0,  {}};
  queue_create(&t.pending, &t, nullptr);
  std::mt19937_64 rng(c.seed);
  std::vector<IcfEntry *> pending;
  for (int32_t i = c.entries - 1; i >= 0; --i) {
    const int status = "snrxa"[rng() % 5];
    IcfEntry *e = icf_entry_new(&t, c.newest - time_t{i} * c.period,
                                "230101000000", "230101000000", status, 0);
    if (status != 's' && status != 'x') pending.push_back(e);
  }
  std::shuffle(pending.begin(), pending.end(), rng);  // not the ring's order
  for (IcfEntry *e : pending) queue_insert(&t.pending, &e->link);
  if (!pending.empty() && rng() % 2) t.cursor = pending[rng() % pending.size()];
  Icf_Knobs.fast_catch_up = fast;
  char from[13] = "", to[13] = "";
  icf_cnv_time_str(time(nullptr), from);
  const IcfEntry *r = quenlor(&file, c.now, c.include_current);
  icf_cnv_time_str(time(nullptr), to);
  Icf_Knobs.fast_catch_up = 1;
  auto slot = [&](const IcfEntry *e) { return e ? e - t.entries : -1; };
  std::ostringstream s;
  s << slot(r) << " " << t.first << " " << t.last << " " << slot(t.cursor)
    << "\ndropped " << t.dropped.count << " " << t.dropped.first << " "
    << t.dropped.first_key << " " << t.dropped.last << " " << t.dropped.last_key
    << "\npending";
  for (QueueElement *q = queue_first(&t.pending); q; q = queue_next(q))
    s << " " << slot(static_cast<IcfEntry *>(q->data));
  for (const IcfEntry &e : slots) {
    const std::string stamp = e.stamp;
    s << "\n"
      << e.key << " " << e.time << " " << char(e.status) << " " << e.retry_count
      << (e.link.queue ? " queued " : " ")
      << (stamp >= from && stamp <= to ? "clock" : stamp);
  }
  return s.str();
}

class CatchUp : public ::testing::TestWithParam<const char *> {};

// Random tables: the newest start in three years from the zone's own (one in
// three in a month of clock changes), on the period's grid, a whole minute or
// any second; pauses up to two years (fifteen for whole days, whose catch-up
// reads only the clock changes), shorter for short periods to keep the walk
// quick. Then the clock as `now`.
TEST_P(CatchUp, MatchesTheStepByStepWalk) {
  std::istringstream param(GetParam());
  std::string zone;
  int year = 2023;
  param >> zone >> year;
  if (zone.find(',') == zone.npos &&
      access(("/usr/share/zoneinfo/" + zone).c_str(), F_OK) != 0)
    GTEST_SKIP() << "no zone file for " << zone;
  setenv("TZ", zone.c_str(), 1);
  tzset();
  std::mt19937_64 rng(std::hash<std::string>()(GetParam()));
  std::vector<Case> cases;
  for (int32_t period : {60, 900, 3600, 5400, 7200, 25200, 86400, 172800}) {
    for (int i = 0; i < 24; ++i) {
      std::tm tm{};
      const bool change = rng() % 3 == 0;
      tm.tm_year = year - 1900 + int(rng() % 3), tm.tm_isdst = -1;
      tm.tm_mon = change ? "\2\3\11\12"[rng() % 4] : int(rng() % 12);
      tm.tm_mday = 1 + int(rng() % (change ? 14 : 28));
      const time_t steps[] = {1, 60, period < ICF_DAY ? period : 3600};
      const time_t step = steps[std::min<uint64_t>(rng() % 4, 2)];
      const time_t newest = std::mktime(&tm) + rng() % (ICF_DAY / step) * step;
      // Not across Apia's lost day: the step-by-step walk of a whole-day
      // period does not get past it.
      const bool years = period % ICF_DAY == 0 && zone != "Pacific/Apia";
      const double most =
          std::min((years ? 15.0 : 2.0) * 365 * ICF_DAY, 20000.0 * period);
      const double u = std::uniform_real_distribution<double>(0, 1)(rng);
      const int32_t capacity = "\1\5\140\140"[rng() % 4];
      const int32_t entries =
          rng() % 8 ? 1 + static_cast<int32_t>(rng() % capacity) : 0;
      cases.push_back({period, capacity, entries, newest,
                       newest + period + time_t(std::pow(most, u)) - 1,
                       int(rng() % 2), rng()});
    }
  }
  // The clock itself, half a period off its grid so that no interval ends
  // between the two runs.
  const time_t clock = time(nullptr);
  for (int include_current : {0, 1})
    cases.push_back({900, 96, 96, clock - clock % 900 + 450 - 40 * ICF_DAY, -1,
                     include_current, 3});
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.period << " " << c.newest << " "
                                    << c.now << " " << c.seed);
    ASSERT_EQ(run(c, 0), run(c, 1));
  }
}

// The catch-up's key writer gives the one key writer's text: in UTC a
// wall-clock time is the time itself. Days around the leap days kept and
// left out (2000, 2100), year and century ends, and the walk's bounds.
TEST(CatchUpKey, AsTheKeyWriter) {
  setenv("TZ", "UTC", 1);
  tzset();
  std::mt19937_64 rng(7);
  std::vector<time_t> times = {
      2 * ICF_DAY, 951782399,  951782400,  951868800,    946684799, 4107542399,
      4107542400,  4107628800, 1709251199, 253402300799, 1735689599};
  for (int i = 0; i < 2000; ++i)
    times.push_back(2 * ICF_DAY +
                    static_cast<time_t>(rng() % (253402300799 - 2 * ICF_DAY)));
  for (const time_t t : times) {
    char want[13], got[13];
    ASSERT_TRUE(icf_key_text(t, want)) << t;
    icf_wall_key(t, got);
    ASSERT_STREQ(got, want) << t;
  }
}

// One zone for each kind of clock change: an hour each way, half an hour and
// two hours, back without a flag change, summer time in winter, a day left
// out, offsets of half an hour. Past 2037 the zone files give their rule
// instead of a table; rules of their own with days of the year, changes at
// odd times and in the last days of a year.
INSTANTIATE_TEST_SUITE_P(
    Zones, CatchUp,
    ::testing::Values("EST5EDT,M3.2.0,M11.1.0", "Australia/Lord_Howe",
                      "Antarctica/Troll", "Asia/Almaty", "Africa/Casablanca",
                      "Europe/Dublin", "America/St_Johns", "Europe/Moscow 2013",
                      "America/Caracas 2006", "Pacific/Apia 2010",
                      "Australia/Lord_Howe 2040", "Europe/Dublin 2040",
                      "<-0330>3:30<-0230>,J60/1:30,300/25 2024",
                      "XST-9:30XDT-10:30,M12.5.0/-1,M6.1.6/30 2024"));

}  // namespace
