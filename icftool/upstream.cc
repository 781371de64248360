// The readiness of an interval from its upstream files. The upstream's
// intervals are enumerated on its own grid, so an hourly upstream gives a
// daily interval 23, 24 or 25 hours of intervals as its clock changes.

#include "upstream.h"

namespace {

bool waits(UpstreamWait *wait, UpstreamState state, time_t start, time_t end,
           int32_t status) {
  wait->state = state;
  wait->start = start;
  wait->end = end;
  wait->status = status;
  if (!icf_cnv_time_str(start, wait->key)) wait->key[0] = '\0';
  return false;
}

// The newest entry that starts at or before t (the oldest starts there).
const IcfEntry *held_before(const IcfTable *table, time_t t) {
  int32_t low = 0, high = icf_count(table) - 1;
  while (low < high) {
    const int32_t mid = low + (high - low + 1) / 2;
    if (icf_entry_at(table, mid)->time <= t)
      low = mid;
    else
      high = mid - 1;
  }
  return icf_entry_at(table, low);
}

}  // namespace

bool upstream_ready(IcfFile *upstream, time_t start, time_t end,
                    UpstreamWait *wait) {
  *wait = {};
  const IcfTable *table = &upstream->table;
  const int32_t count = icf_count(table);
  if (end <= start) return true;
  if (count == 0) return waits(wait, Upstream_Not_Appended, start, end, 0);
  const time_t oldest = icf_entry_at(table, 0)->time;
  const time_t newest = icf_entry_at(table, count - 1)->time;
  if (start < oldest)
    return waits(wait, Upstream_Older, start, end < oldest ? end : oldest, 0);
  // Past the newest entry the grid is walked at the cost of a catch-up.
  time_t s = start > newest ? icf_grid_holding(table, start)
                            : held_before(table, start)->time;
  for (;;) {
    const time_t next = s >= 0 ? icf_next_start(table, s) : -1;
    if (next <= s) return waits(wait, Upstream_No_Grid, s, end, 0);
    if (next > start) {
      if (s > newest) return waits(wait, Upstream_Not_Appended, s, next, 0);
      const IcfEntry *e = icf_find(upstream, s);
      if (e == nullptr) return waits(wait, Upstream_Missing, s, next, 0);
      if (e->status != 's')
        return waits(wait, Upstream_Status, s, next, e->status);
    }
    if (next >= end) return true;
    s = next;
  }
}

const char *upstream_state_text(UpstreamState state) {
  switch (state) {
    case Upstream_Not_Appended:
      return "not yet appended";
    case Upstream_Older:
      return "older than the file holds";
    case Upstream_Missing:
      return "not in the file";
    case Upstream_No_Grid:
      return "off the grid";
    default:
      return nullptr;
  }
}
