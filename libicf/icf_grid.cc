// Where the books of a new file start, and where a file's grid stands at a
// later time.
//
// A file made by hand starts wherever its first scheduler run puts it,
// which for long periods takes several runs to settle. A file that starts
// with one entry is on its grid from the first run: every later start is the
// scheduler's step from the one before. The grid a new file starts on
// begins afresh in every local hour (periods under an hour) or every local
// day (an hour and longer): its starts are the first instant of that hour
// or day and the scheduler's steps from it that stay within it, so whole
// hours and days are on it, whatever the period.

#include <ctime>

#include "icf_internal.h"
#include "libicf.h"

namespace {

// a divided by b (b > 0), rounded down, for times before 1970 too.
time_t floor_div(time_t a, time_t b) { return (a - floor_mod(a, b)) / b; }

bool wall_at(time_t t, time_t *wall) {
  return Icf_Local_Zone.wall(nullptr, t, wall);
}

// The local hour or day (`unit` seconds of wall-clock time) that shows at t,
// counted from the epoch; false when the zone cannot be read.
bool unit_of(time_t t, time_t unit, time_t *index) {
  time_t wall;
  if (!wall_at(t, &wall)) return false;
  *index = floor_div(wall, unit);
  return true;
}

// The first instant of the hour or day that t lies in, counted back for as
// long as the clock shows that hour or day: where the clock was set back
// into it, its first pass; where the clock jumped into it, the jump.
bool unit_start(time_t t, time_t unit, time_t *start) {
  time_t index, wall;
  if (!unit_of(t, unit, &index)) return false;
  // Each round steps back over one clock change; no hour or day holds many.
  for (int round = 0; round < 8; ++round) {
    if (!wall_at(t, &wall)) return false;
    const time_t offset = wall - t;
    const time_t guess = t - floor_mod(wall, unit);
    time_t seen;
    if (!wall_at(guess, &seen)) return false;
    time_t from = guess;  // the clock shows the unit from here to t
    if (seen - guess != offset) {
      // The clock changed between: from the change on, the offset is t's.
      time_t low = guess, high = t;
      while (high - low > 1) {
        const time_t mid = low + (high - low) / 2;
        if (!wall_at(mid, &seen)) return false;
        (seen - mid == offset ? high : low) = mid;
      }
      from = high;
    }
    time_t before;
    if (!unit_of(from - 1, unit, &before)) return false;
    if (before != index) {
      *start = from;
      return true;
    }
    t = from - 1;
  }
  return false;
}

// A time the clock showed an instant before: the scheduler gives such a
// second pass no interval of its own.
bool second_pass(time_t t) {
  time_t first, last;
  icf_local_passes(t, &first, &last);
  return first != t;
}

}  // namespace

int icf_grid_member(int32_t period, time_t t) {
  if (period < 1 || t < 0 || second_pass(t)) return 0;
  const time_t unit = period < ICF_HOUR ? ICF_HOUR : ICF_DAY;
  IcfTable grid = {};
  grid.period = period;
  time_t s;
  if (!unit_start(t, unit, &s)) return 0;
  while (s >= 0 && s < t) {
    const time_t next = icf_next_start(&grid, s);
    if (next <= s) return 0;
    s = next;
  }
  return s == t;
}

time_t icf_grid_first(int32_t period, time_t now) {
  if (period < 1) return -1;
  const time_t unit = period < ICF_HOUR ? ICF_HOUR : ICF_DAY;
  IcfTable grid = {};
  grid.period = period;
  // The interval sought starts a period before now at the latest, give or
  // take a clock change (a few hours): no later hour or day needs a look.
  time_t from = now - period + 3 * ICF_HOUR;
  if (from > now) from = now;
  time_t first;
  if (!unit_start(from, unit, &first)) return -1;
  // A later hour or day with an interval that has ended holds the latest;
  // a period of days needs a look back over as many.
  for (time_t round = 0; round < 4 + period / ICF_DAY; ++round) {
    time_t index;
    if (first < 0 || !unit_of(first, unit, &index)) return -1;
    time_t found = -1;
    for (time_t s = first, at = index; at == index;) {
      const time_t next = icf_next_start(&grid, s);
      if (next <= s) return -1;
      if (next > now) break;
      if (!second_pass(s)) found = s;
      s = next;
      if (!unit_of(s, unit, &at)) return -1;
    }
    if (found >= 0) return found;
    if (!unit_start(first - 1, unit, &first)) return -1;
  }
  return -1;
}

time_t icf_grid_holding(const IcfTable *table, time_t t) {
  if (table->last < 0 || table->period < 1) return -1;
  time_t s = table->entries[table->last].time;
  if (t < s) return -1;
  int64_t count;
  time_t tail[ICF_WALK_TAIL];
  if (icf_walk_starts(table, t, &count, tail))
    return count == 0
               ? s
               : tail[(count < ICF_WALK_TAIL ? count : ICF_WALK_TAIL) - 1];
  // Where the fast walk cannot vouch for its result, step by step.
  for (time_t next; (next = icf_next_start(table, s)) <= t; s = next)
    if (next <= s) return -1;
  return s;
}
