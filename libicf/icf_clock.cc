// Local wall-clock arithmetic shared by the scheduler's two walks, the key
// conversion and the programs: which instants show one local time, and the
// correction of a computed interval start across clock changes.
//
// A clock change of any size is seen through the UTC offsets on either side
// of it, whatever the daylight-saving flags say: set back by d seconds, the
// clock shows the d seconds before the change twice.

#include <ctime>

#include "icf_internal.h"
#include "libicf.h"

namespace {

// Where the offset before or after a change is read: a change of up to
// three hours is seen from the first, the date line moves of a day from the
// second.
constexpr time_t Away[] = {3 * ICF_HOUR, ICF_LOOK_AROUND};

bool local_wall(const void *, time_t t, time_t *wall) {
  struct tm fields;
  if (localtime_r(&t, &fields) == nullptr) return false;
  // Leap seconds aside, the fields counted as UTC are t plus the offset; a
  // zone that counts leap seconds is read right this way too.
  *wall = timegm(&fields);
  return true;
}

bool offset_at(const IcfZone *zone, time_t t, time_t *offset) {
  time_t wall;
  if (!zone->wall(zone->context, t, &wall)) return false;
  *offset = wall - t;
  return true;
}

bool hour_at(const IcfZone *zone, time_t t, int *hour) {
  time_t wall;
  if (!zone->wall(zone->context, t, &wall)) return false;
  *hour = static_cast<int>(floor_mod(wall, ICF_DAY) / ICF_HOUR);
  return true;
}

// The instant before t (`side` -1) or after it (1) that shows the local time
// of t, or t. Set back by d, the clock's offset is d larger before the change
// than after it, and t - d or t + d shows the same time.
time_t other_pass(const IcfZone *zone, time_t t, int side) {
  time_t wall;
  if (!zone->wall(zone->context, t, &wall)) return t;
  const time_t offset = wall - t;
  for (time_t away : Away) {
    time_t other, seen;
    if (!offset_at(zone, t + side * away, &other)) break;
    const time_t d = side * (offset - other);
    if (d > 0 && zone->wall(zone->context, t + side * d, &seen) && seen == wall)
      return t + side * d;
  }
  return t;
}

// The size of the first backward change whose second pass meets [from, to],
// or 0. Offsets are compared an hour apart: no zone changes twice in an hour.
time_t repeat_within(const IcfZone *zone, time_t from, time_t to) {
  const time_t first = other_pass(zone, from, -1);
  if (first != from) return from - first;
  time_t before;
  if (!offset_at(zone, from, &before)) return 0;
  for (time_t x = from; x < to;) {
    x = to - x > ICF_HOUR ? x + ICF_HOUR : to;
    time_t after;
    if (!offset_at(zone, x, &after)) return 0;
    if (after < before) return before - after;
    before = after;
  }
  return 0;
}

}  // namespace

const IcfZone Icf_Local_Zone = {local_wall, nullptr};

int icf_local_passes(time_t t, time_t *first, time_t *last) {
  *first = other_pass(&Icf_Local_Zone, t, -1);
  *last = other_pass(&Icf_Local_Zone, t, 1);
  return *first != t || *last != t;
}

int icf_correct_start(const IcfZone *zone, time_t *start, int32_t period,
                      int empty, int *skip) {
  *skip = 0;
  const time_t guess = *start;
  if (period < ICF_HOUR) {
    // The second pass of a repeated span gets no entry; the walk goes on
    // from it.
    if (!empty && other_pass(zone, guess, -1) != guess) *skip = 1;
    return 1;
  }
  const time_t hours = period / ICF_HOUR;
  const time_t base = empty ? guess : guess - period;
  // A start that meets a repeated span moves past it (an empty table's back
  // before it), by the size of the change. The span is looked for over the
  // whole hours of the period from the base, and up to the start itself: a
  // span shorter than an hour may lie in between.
  time_t adjust =
      repeat_within(zone, base, empty ? base + ICF_HOUR * hours : guess);
  if (empty) adjust = -adjust;
  // Two instants a period apart, the later one the start (for an empty
  // table, the start one period on), and the hours the clock shows there.
  const time_t later = empty ? guess + period : guess;
  const time_t earlier = later - period;
  int hour_later, hour_earlier, hour_start;
  if (!hour_at(zone, later, &hour_later) ||
      !hour_at(zone, earlier, &hour_earlier) ||
      !hour_at(zone, guess, &hour_start))
    return 0;
  time_t offset_later, offset_earlier;
  if (!offset_at(zone, later, &offset_later) ||
      !offset_at(zone, earlier, &offset_earlier))
    return 0;
  if (period % ICF_DAY == 0) {
    // Whole days stay on the base's time of day, midnight for the files the
    // programs start: a day with a clock change is not 24 hours long, and
    // the plain sum lands off it by the change.
    time_t wall;
    if (!zone->wall(zone->context, guess, &wall)) return 0;
    // Off midnight with a change in between: back to the base's time.
    if (!empty && floor_mod(wall, ICF_DAY) != 0 &&
        offset_later != offset_earlier)
      adjust = offset_earlier - offset_later;
    // 01:00 after a day that lost an hour: back to midnight.
    else if (hour_start == 1)
      adjust = -ICF_HOUR;
    // Any other hour: on to the next midnight when the day gained an hour
    // (the hours shown differ), else back to the midnight of its own day.
    else if (hour_start != 0)
      adjust = hour_later == hour_earlier ? -(ICF_DAY - ICF_HOUR) : ICF_HOUR;
  } else {
    // Multi-hour periods stay on their grid of hours from midnight.
    // The part of a clock set forward that is not whole hours would move
    // every later start off its place in the hour: it goes on to the next.
    const time_t forward = offset_later - offset_earlier;
    if (!empty && forward > 0 && forward % ICF_HOUR != 0)
      adjust += ICF_HOUR - forward % ICF_HOUR;
    // The hours shown advanced by the whole period, yet the start is off the
    // grid, where an earlier change pushed it an hour on: back onto it.
    const int shown = hour_later + (hour_later < hour_earlier ? 24 : 0);
    if (shown - hour_earlier == hours && period > ICF_HOUR &&
        shown % hours != 0)
      adjust = -ICF_HOUR;
  }
  *start = guess + adjust;
  return 1;
}

int icf_step_after(const IcfZone *zone, time_t base, int32_t period,
                   time_t *start, int *skip) {
  // The base's broken-down time plus the period, in the base's own regime,
  // is the instant base + period; counted here in seconds, it needs no
  // choice between two passes of a repeated time and cannot overflow.
  *start = base + period;
  return icf_correct_start(zone, start, period, 0, skip);
}

time_t icf_interval_end(const IcfTable *table, time_t start) {
  const time_t next = icf_next_start(table, start);
  return next >= 0 ? next : static_cast<time_t>(start + table->period);
}

time_t icf_next_start(const IcfTable *table, time_t start) {
  if (table->period < 1) return -1;
  // Every step goes forward by the period at least; the second passes
  // stepped over span a day at most.
  for (time_t base = start; base - start <= ICF_LOOK_AROUND + table->period;) {
    time_t next;
    int skip;
    if (!icf_step_after(&Icf_Local_Zone, base, table->period, &next, &skip) ||
        next <= base)
      return -1;
    if (!skip) return next;
    base = next;
  }
  return -1;
}
