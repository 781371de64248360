// The backlog of a file, measured against its grid instead of its entries.

#include <cstring>
#include <ctime>

#include "icf_internal.h"
#include "libicf.h"

namespace {

// The step-by-step count takes at most this many steps; past them the rest
// of the pause is counted by whole periods. Only a zone the fast walk cannot
// read (one that counts leap seconds) or a date past 9999 gets here.
constexpr int64_t Most_Steps = 1000000;

// A stamp as a number that orders like the time it names (the century from
// the key's pivot year), or -1 when it is not twelve digits.
int64_t stamp_order(const char *stamp) {
  if (std::strlen(stamp) != 12 || std::strspn(stamp, "0123456789") != 12)
    return -1;
  int64_t n = 0;
  for (int i = 0; i < 12; ++i) n = n * 10 + (stamp[i] - '0');
  const int64_t year = n / 10000000000;
  return n + (year < 69 ? 100 : 0) * 10000000000;
}

// The intervals after the newest entry that have ended at `now`: *count,
// and *first the first of them.
void count_after(const IcfTable *table, time_t now, int64_t *count,
                 time_t *first) {
  const time_t newest = table->entries[table->last].time;
  *count = 0;
  *first = icf_interval_end(table, newest);
  time_t tail[ICF_WALK_TAIL];
  int64_t started;
  // Every interval that has begun, then those of them still running (ends
  // only grow with starts, so they are the last).
  if (icf_walk_starts(table, now, &started, tail)) {
    const int64_t kept = started < ICF_WALK_TAIL ? started : ICF_WALK_TAIL;
    int64_t running = 0;
    for (int64_t i = kept - 1; i >= 0; --i) {
      const time_t end =
          i + 1 < kept ? tail[i + 1] : icf_interval_end(table, tail[i]);
      if (end <= now) break;
      ++running;
    }
    *count = started - running;
    return;
  }
  for (time_t start = *first; icf_interval_end(table, start) <= now;) {
    if (++*count == Most_Steps) {
      *count += (now - icf_interval_end(table, start)) / table->period;
      return;
    }
    start = icf_interval_end(table, start);
  }
}

}  // namespace

void icf_due(const IcfTable *table, time_t now, IcfDue *due) {
  *due = {0, -1, -1, -1};
  if (table->first < 0 || table->period < 1) return;
  const int32_t n = icf_count(table);
  // The entries that have ended are a prefix of the ring, which is sorted.
  int32_t low = 0, high = n;
  while (low < high) {
    const int32_t mid = low + (high - low) / 2;
    if (icf_interval_end(table, icf_entry_at(table, mid)->time) <= now)
      low = mid + 1;
    else
      high = mid;
  }
  int64_t newest_stamp = -1;
  const char *stamp = nullptr;
  for (int32_t p = 0; p < n; ++p) {
    const IcfEntry &e = *icf_entry_at(table, p);
    if (p < low && icf_pending(e.status) && due->intervals++ == 0)
      due->oldest_start = e.time;
    if (const int64_t order = stamp_order(e.stamp); order > newest_stamp) {
      newest_stamp = order;
      stamp = e.stamp;
    }
  }
  time_t t;
  if (stamp != nullptr && icf_cnv_time(stamp, &t) == nullptr)
    due->last_change = t;
  int64_t later;
  time_t first_later;
  count_after(table, now, &later, &first_later);
  if (due->intervals == 0 && later > 0) due->oldest_start = first_later;
  due->intervals += later;
  if (due->oldest_start >= 0)
    due->oldest_end = icf_interval_end(table, due->oldest_start);
}
