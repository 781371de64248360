// The fast catch-up against the step-by-step walk: the same table, brought
// up to date once by each, must come out identical in every slot, in the
// pending queue and in the cursor.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "icf_internal.h"
#include "libicf.h"
#include "libstd.h"

namespace {

const char *const Zones[] = {
    "EST5EDT,M3.2.0,M11.1.0",
    "AEST-10AEDT,M10.1.0,M4.1.0/3",  // southern: summer across the new year
    "UTC0",
    "NST3:30NDT,M3.2.0,M11.1.0",         // half-hour offset
    "LHST-10:30LHDT-11,M10.1.0,M4.1.0",  // a half-hour clock change
};
const int32_t Periods[] = {60,   900,   3600,  7200,  21600,
                           5400, 25200, 86400, 172800};
constexpr time_t Day = 86400;

struct Case {
  const char *zone;
  int32_t period;
  int32_t capacity;
  int32_t entries;  // in the table before, 0: empty
  time_t newest;
  time_t now;
  int include_current;
  uint64_t seed;  // statuses, queue order and cursor of the entries before
};

std::string describe(const Case &c) {
  char key[13] = "";
  icf_cnv_time_str(c.newest, key);
  return std::string("TZ=") + c.zone + " period " + std::to_string(c.period) +
         " capacity " + std::to_string(c.capacity) + " entries " +
         std::to_string(c.entries) + " newest " + key + " (" +
         std::to_string(c.newest) + ") now " + std::to_string(c.now) +
         " include_current " + std::to_string(c.include_current) + " seed " +
         std::to_string(c.seed);
}

struct Table {
  IcfFile file{};
  IcfTable &t = file.table;
  explicit Table(const Case &c) {
    t.period = c.period;
    t.retries = 3;
    t.capacity = c.capacity;
    t.first = t.last = -1;
    t.entries = static_cast<IcfEntry *>(std_calloc(
        nullptr, static_cast<uint32_t>(c.capacity), sizeof(IcfEntry)));
    queue_create(&t.pending, &t, nullptr);
    std::mt19937_64 rng(c.seed);
    std::vector<IcfEntry *> pending;
    for (int32_t i = c.entries - 1; i >= 0; --i) {
      const int status = "snrxa"[rng() % 5];
      IcfEntry *e =
          icf_entry_new(&t, c.newest - static_cast<time_t>(i) * c.period,
                        "230101000000", "230101000000", status, 0);
      if (status != 's' && status != 'x') pending.push_back(e);
    }
    // The queue in an order of arrival that is not the ring's.
    std::shuffle(pending.begin(), pending.end(), rng);
    for (IcfEntry *e : pending) queue_insert(&t.pending, &e->link);
    if (!pending.empty() && rng() % 2)
      t.cursor = pending[rng() % pending.size()];
  }
  ~Table() { std_free(nullptr, t.entries); }
  int slot(const IcfEntry *e) const {
    return e == nullptr ? -1 : static_cast<int>(e - t.entries);
  }
};

std::string key_of(time_t t) {
  char key[13] = "";
  icf_cnv_time_str(t, key);
  return key;
}

// Brings two equal tables up to date, one step by step and one with the
// fast catch-up, and compares them. Stamps are the clock's keys: they must
// match unless the clock moved on between the runs.
void check(const Case &c) {
  SCOPED_TRACE(describe(c));
  setenv("TZ", c.zone, 1);
  tzset();
  Table walked(c), fast(c);
  const time_t before = time(nullptr);
  Icf_Fast_Catch_Up = 0;
  const IcfEntry *r1 = quenlor(&walked.file, c.now, c.include_current);
  Icf_Fast_Catch_Up = 1;
  const IcfEntry *r2 = quenlor(&fast.file, c.now, c.include_current);
  const time_t after = time(nullptr);

  ASSERT_EQ(walked.slot(r1), fast.slot(r2));
  ASSERT_EQ(walked.t.first, fast.t.first);
  ASSERT_EQ(walked.t.last, fast.t.last);
  ASSERT_EQ(walked.slot(walked.t.cursor), fast.slot(fast.t.cursor));
  ASSERT_EQ(walked.t.pending.count, fast.t.pending.count);
  std::vector<int> order[2];
  for (Table *t : {&walked, &fast})
    for (QueueElement *q = queue_first(&t->t.pending); q != nullptr;
         q = queue_next(q))
      order[t == &fast].push_back(t->slot(static_cast<IcfEntry *>(q->data)));
  ASSERT_EQ(order[0], order[1]);
  for (int32_t i = 0; i < c.capacity; ++i) {
    const IcfEntry &a = walked.t.entries[i], &b = fast.t.entries[i];
    SCOPED_TRACE("slot " + std::to_string(i) + " key " + a.key);
    ASSERT_EQ(a.time, b.time);
    ASSERT_STREQ(a.key, b.key);
    ASSERT_EQ(a.status, b.status);
    ASSERT_EQ(a.retry_count, b.retry_count);
    ASSERT_EQ(a.link.queue != nullptr, b.link.queue != nullptr);
    if (before == after || std::strcmp(a.stamp, b.stamp) == 0) {
      ASSERT_STREQ(a.stamp, b.stamp);
    } else {
      ASSERT_GE(std::string(a.stamp), key_of(before));
      ASSERT_LE(std::string(b.stamp), key_of(after));
    }
  }
}

// A start in 2023-2025: on the period's grid, on a whole minute, or at any
// second; one case in three near a clock change of the zone.
time_t pick_newest(std::mt19937_64 &rng, int32_t period) {
  std::tm tm{};
  tm.tm_year = 123 + static_cast<int>(rng() % 3);
  if (rng() % 3 == 0) {
    const int months[] = {2, 3, 9, 10};  // the months of the changes
    tm.tm_mon = months[rng() % 4];
    tm.tm_mday = 1 + static_cast<int>(rng() % 14);
  } else {
    tm.tm_mon = static_cast<int>(rng() % 12);
    tm.tm_mday = 1 + static_cast<int>(rng() % 28);
  }
  tm.tm_isdst = -1;
  const time_t midnight = std::mktime(&tm);
  const time_t grid = period < Day ? period : 3600;
  switch (rng() % 4) {
    case 0:
      return midnight + static_cast<time_t>(rng() % Day);
    case 1:
      return midnight + static_cast<time_t>(rng() % (Day / 60)) * 60;
    default:
      return midnight + static_cast<time_t>(rng() % (Day / grid)) * grid;
  }
}

// Gaps from nothing to two years, spread over every scale; short periods get
// shorter gaps so that the step-by-step walk stays quick.
time_t pick_gap(std::mt19937_64 &rng, int32_t period) {
  const double most = std::min(2.0 * 365 * Day, 100000.0 * period);
  const double u = std::uniform_real_distribution<double>(0, 1)(rng);
  return static_cast<time_t>(std::pow(most, u)) - 1;
}

class CatchUp : public ::testing::TestWithParam<const char *> {
 protected:
  void TearDown() override {
    Icf_Fast_Catch_Up = 1;
    unsetenv("TZ");
    tzset();
  }
};

TEST_P(CatchUp, MatchesTheStepByStepWalk) {
  const char *zone = GetParam();
  setenv("TZ", zone, 1);
  tzset();
  std::mt19937_64 rng(std::hash<std::string>()(zone));
  for (int32_t period : Periods) {
    for (int i = 0; i < 40; ++i) {
      Case c;
      c.zone = zone;
      c.period = period;
      const int32_t capacities[] = {1, 5, 96, 96};
      c.capacity = capacities[rng() % 4];
      c.entries =
          rng() % 8 == 0 ? 0 : 1 + static_cast<int32_t>(rng() % c.capacity);
      c.newest = pick_newest(rng, period);
      c.include_current = static_cast<int>(rng() % 2);
      c.now = c.newest + period + pick_gap(rng, period);
      c.seed = rng();
      check(c);
      if (HasFatalFailure()) return;
    }
  }
}

// The pauses the benchmarks measure, over the longest gaps for the short
// periods as well.
TEST_P(CatchUp, MatchesAfterAYearAndTwo) {
  const char *zone = GetParam();
  setenv("TZ", zone, 1);
  tzset();
  std::tm tm{};
  tm.tm_year = 124;
  tm.tm_mday = 15;
  tm.tm_isdst = -1;
  const time_t newest = std::mktime(&tm);
  for (int32_t period : {60, 900, 86400}) {
    for (time_t days : {1, 30, 365, 730}) {
      Case c = {zone, period, 96, 96, newest, newest + period + days * Day,
                0,    7};
      check(c);
      if (HasFatalFailure()) return;
    }
  }
}

// With the clock as `now`, both read it; the newest start lies half a
// period off the grid of the clock so that no interval ends between them.
TEST_P(CatchUp, MatchesWithTheClock) {
  const time_t clock = time(nullptr);
  for (int32_t period : {900, 3600}) {
    const time_t newest = clock - clock % period + period / 2 - 40 * Day;
    for (int include_current : {0, 1}) {
      check({GetParam(), period, 96, 96, newest, -1, include_current, 3});
      if (HasFatalFailure()) return;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Zones, CatchUp, ::testing::ValuesIn(Zones));

}  // namespace
