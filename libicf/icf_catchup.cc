// The scheduler's catch-up after a long pause, at the cost of the ring.
//
// The step-by-step walk (next_interval in icf.cc) converts every candidate
// start to local time several times, and after a pause of a year it takes
// every step of that year, although only the newest `capacity` intervals
// survive in the ring. This file computes the same walk from the zone's UTC
// offsets instead: a local wall-clock time is the instant plus the offset in
// force, so two instants have the same interval key exactly when their wall
// times agree, and an hour of the day is plain arithmetic. The offsets are
// sampled every four days of the pause, and each change is pinned to the
// second by bisection. Between changes a step depends only on the time of day,
// so the walk repeats itself after a whole number of days and is advanced by
// whole cycles; only the last `capacity` intervals are made into entries.
//
// Each step is the walk's own (icf_step_after), reading the zone from the
// sampled offsets instead of localtime. Where the arithmetic might not match
// the platform, the walk is left alone: zones that count leap seconds, times
// beyond the key range.

#include <cstdint>
#include <cstring>
#include <ctime>

#include "icf_internal.h"
#include "libicf.h"
#include "libstd.h"

namespace {

// The offsets are sampled this far apart: a change that is undone within one
// sample step would go unseen. The shortest-lived offset in the time zone
// database since 1970 lasted 6.96 days (a week of summer time in Brazil in
// 2000; Gaza's rules give such weeks again).
constexpr time_t Probe = 4 * ICF_DAY;
// Starts handled here: from the third day of 1970 to the end of year 9999.
constexpr time_t Lowest = 2 * ICF_DAY;
constexpr time_t Highest = 253402300799;
// Probed this far, the offsets are known for good.
constexpr time_t Always = INT64_MAX / 4;
// Offset changes held at once; older ones are dropped as the walk passes.
constexpr int Max_Changes = 32;

// Only the offset moves the wall clock; a change of the daylight-saving flag
// alone is no change here.
struct Offset {
  long gmtoff;
};

bool operator==(const Offset &a, const Offset &b) {
  return a.gmtoff == b.gmtoff;
}

// The offset in force at t. False when it cannot be read or when the wall
// time is not t plus the offset (a zone that counts leap seconds).
bool offset_at(time_t t, Offset *out) {
  struct tm fields;
  if (localtime_r(&t, &fields) == nullptr) return false;
  const time_t clock =
      fields.tm_hour * ICF_HOUR + fields.tm_min * 60 + fields.tm_sec;
  if (floor_mod(t + fields.tm_gmtoff, ICF_DAY) != clock) return false;
  out->gmtoff = fields.tm_gmtoff;
  return true;
}

// The local zone's offsets from a start time on, as far as sampled: the
// instants at which the offset changes, with the offset before and after
// each.
struct Zone {
  time_t probed;  // offsets are known up to here
  time_t keep;    // lookups never go below here: older changes may go
  int count;
  time_t at[Max_Changes];
  Offset offset[Max_Changes + 1];  // offset[i] holds until at[i] - 1
  bool failed;
  const IcfZoneData *data;  // where the offset may change; null: sample
};

void zone_init(Zone *zone, time_t from, const IcfZoneData *data) {
  std::memset(zone, 0, sizeof *zone);
  zone->probed = zone->keep = from;
  zone->failed = !offset_at(from, &zone->offset[0]);
  zone->data = data;
}

// Records a change at `at` to `offset`, making room if needed.
void zone_add(Zone *zone, time_t at, const Offset &offset) {
  int drop = 0;
  while (drop < zone->count && zone->at[drop] <= zone->keep) ++drop;
  if (zone->count == Max_Changes && drop > 0) {
    zone->count -= drop;
    std::memmove(zone->at, zone->at + drop, zone->count * sizeof(time_t));
    std::memmove(zone->offset, zone->offset + drop,
                 (zone->count + 1) * sizeof(Offset));
  }
  if (zone->count == Max_Changes) {
    zone->failed = true;
    return;
  }
  zone->at[zone->count++] = at;
  zone->offset[zone->count] = offset;
}

// Reads the offset at the next instant where the zone's data says it may
// change. False when the data cannot tell or is not the zone's: the zone is
// sampled from then on.
bool zone_probe_data(Zone *zone) {
  IcfCandidate next;
  const int found = icf_zone_next(zone->data, zone->probed, &next);
  if (found == 0) {
    zone->probed = Always;
    return true;
  }
  const Offset current = zone->offset[zone->count];
  Offset there;
  if (found < 0 || next.at <= zone->probed || !offset_at(next.at, &there) ||
      (next.expect &&
       (current.gmtoff != next.before || there.gmtoff != next.after))) {
    zone->data = nullptr;
    return false;
  }
  if (!(there == current)) zone_add(zone, next.at, there);
  zone->probed = next.at;
  return true;
}

// Samples one step further, pinning a change found to the second.
void zone_probe(Zone *zone) {
  if (zone->data != nullptr && zone_probe_data(zone)) return;
  const Offset current = zone->offset[zone->count];
  time_t low = zone->probed;
  time_t high = low + Probe;
  Offset found;
  if (!offset_at(high, &found)) {
    zone->failed = true;
    return;
  }
  if (found == current) {
    zone->probed = high;
    return;
  }
  while (high - low > 1) {
    const time_t mid = low + (high - low) / 2;
    Offset there;
    if (!offset_at(mid, &there)) {
      zone->failed = true;
      return;
    }
    if (there == current) {
      low = mid;
    } else {
      high = mid;
      found = there;
    }
  }
  zone_add(zone, high, found);
  zone->probed = high;
}

void zone_cover(Zone *zone, time_t t) {
  while (!zone->failed && zone->probed < t) zone_probe(zone);
}

// Index of the first change after t.
int zone_after(const Zone *zone, time_t t) {
  int low = 0, high = zone->count;
  while (low < high) {
    const int mid = (low + high) / 2;
    if (zone->at[mid] <= t)
      low = mid + 1;
    else
      high = mid;
  }
  return low;
}

// The first change after t, sampling on up to `horizon`; without one, a time
// past everything sampled.
time_t zone_next_change(Zone *zone, time_t t, time_t horizon) {
  for (;;) {
    const int i = zone_after(zone, t);
    if (i < zone->count) return zone->at[i];
    if (zone->failed || zone->probed >= horizon) return zone->probed + 1;
    zone_probe(zone);
  }
}

// The local wall-clock time of t as seconds since the epoch; t lies in the
// sampled part.
time_t wall(const Zone *zone, time_t t) {
  return t + zone->offset[zone_after(zone, t)].gmtoff;
}

// The zone as one step reads it, noting how far every instant it looked at
// could move on and still show the same offset: moved on by as much, the
// step gives the same answer, moved on as well.
struct Traced {
  const Zone *zone;
  mutable time_t slack;
  // The stretch of one offset last looked at: a step looks close by.
  mutable time_t low, high, offset;
};

bool traced_wall(const void *context, time_t t, time_t *out) {
  const Traced *traced = static_cast<const Traced *>(context);
  if (t < traced->low || t > traced->high) {
    const Zone *zone = traced->zone;
    if (zone->failed || t < zone->keep || t > zone->probed) {
      traced->slack = 0;
      return Icf_Local_Zone.wall(nullptr, t, out);
    }
    const int i = zone_after(zone, t);
    traced->low =
        i > 0 && zone->at[i - 1] > zone->keep ? zone->at[i - 1] : zone->keep;
    traced->high = i < zone->count ? zone->at[i] - 1 : zone->probed;
    traced->offset = zone->offset[i].gmtoff;
  }
  if (traced->high - t < traced->slack) traced->slack = traced->high - t;
  *out = t + traced->offset;
  return true;
}

}  // namespace

void icf_wall_key(time_t wall, char *key) {
  const time_t clock = floor_mod(wall, ICF_DAY);
  // The civil date of a day count (proleptic Gregorian; H. Hinnant's method).
  const time_t z = (wall - clock) / ICF_DAY + 719468;
  const time_t era = (z >= 0 ? z : z - 146096) / 146097;
  const time_t doe = z - era * 146097;
  const time_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const time_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const time_t mp = (5 * doy + 2) / 153;
  const time_t month = mp < 10 ? mp + 3 : mp - 9;
  const time_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  const time_t field[6] = {year % 100,
                           month,
                           doy - (153 * mp + 2) / 5 + 1,
                           clock / ICF_HOUR,
                           clock % ICF_HOUR / 60,
                           clock % 60};
  for (int i = 0; i < 6; ++i) {
    key[2 * i] = static_cast<char>('0' + field[i] / 10);
    key[2 * i + 1] = static_cast<char>('0' + field[i] % 10);
  }
  key[12] = '\0';
}

namespace {

// A start appended by the walk, with its wall-clock time for its key.
struct Started {
  time_t start;
  time_t wall;
};

struct Walk {
  IcfTable *table;
  IcfZoneData data;
  time_t period;
  time_t limit;  // the latest start that is due
  Zone zone;
  // The newest starts appended, ring[count % capacity] next, and room for
  // one cycle of them. It holds one start more than the table: the newest
  // of those that fall out of the table, to report.
  Started *ring;
  int32_t capacity;
  int64_t count;   // starts appended
  Started oldest;  // the first start appended
};

bool record(Walk *walk, time_t start) {
  zone_cover(&walk->zone, start);
  if (walk->zone.failed) return false;
  walk->ring[walk->count % walk->capacity] = {start, wall(&walk->zone, start)};
  if (walk->count == 0) walk->oldest = walk->ring[0];
  ++walk->count;
  return true;
}

// A step looks at the offsets this far before its base and after its start.
constexpr time_t Around = ICF_LOOK_AROUND;

// One step of the walk from `base`: *next is the next start, or 0 when it
// is not due; *skip tells that it gets no entry; *slack how far the base
// could move on with the step moving on as far, unchanged otherwise. False
// to give up. The slack reaches up to the next change known, which the
// zone learns first.
bool take_step(Walk *walk, time_t base, time_t *next, bool *skip,
               time_t *slack) {
  Zone *zone = &walk->zone;
  zone_next_change(zone, base + walk->period,
                   walk->limit + walk->period + Around);
  zone->keep = base - Around;
  zone_cover(zone, base + walk->period + Around);
  if (zone->failed) return false;
  const Traced traced = {zone, Always, 1, 0, 0};
  const IcfZone reader = {traced_wall, &traced};
  time_t start;
  int skipped;
  if (!icf_step_after(&reader, base, static_cast<int32_t>(walk->period), &start,
                      &skipped))
    return false;
  *skip = skipped != 0;
  *next = start <= walk->limit ? start : 0;
  *slack = traced.slack;
  return true;
}

// Records the `n` starts `first`, first + period, ...: the last `capacity`
// of them. They show the offset of the first.
bool record_run(Walk *walk, time_t first, int64_t n) {
  zone_cover(&walk->zone, first);
  if (walk->zone.failed) return false;
  const time_t offset = wall(&walk->zone, first) - first;
  if (walk->count == 0) walk->oldest = {first, first + offset};
  for (int64_t k = n > walk->capacity ? n - walk->capacity : 0; k < n; ++k) {
    const time_t start = first + k * walk->period;
    walk->ring[(walk->count + k) % walk->capacity] = {start, start + offset};
  }
  walk->count += n;
  return true;
}

// A step under an hour is the base plus the period, and whether it gets an
// entry depends only on the offsets it reads: the steps after it give the
// same answer as long as those stay.
bool run_short(Walk *walk, time_t base) {
  const time_t period = walk->period;
  for (;;) {
    time_t next, slack;
    bool skip;
    if (!take_step(walk, base, &next, &skip, &slack)) return false;
    if (next == 0) return true;
    if (next != base + period) return false;
    const time_t room = slack < walk->limit - next ? slack : walk->limit - next;
    const int64_t more = room / period;
    if (!skip && !record_run(walk, next, more + 1)) return false;
    base = next + more * period;
  }
}

// `start` was reached by steps that repeat every `steps` steps and `length`
// seconds, none of which changes when moved on by up to `slack`. Advances it
// by as many whole cycles as that allows and the limit; the starts skipped
// are those of the cycle just recorded, moved on by whole cycles. Returns
// the new start.
time_t skip_cycles(Walk *walk, time_t start, int64_t steps, time_t length,
                   time_t slack) {
  const time_t bound =
      walk->limit - start < slack ? walk->limit - start : slack;
  if (bound < length) return start;
  int64_t cycles = bound / length;
  const int32_t capacity = walk->capacity;
  if (steps > capacity) {
    // The ring holds less than a cycle: leave one to walk, which fills it.
    cycles -= 1;
    if (cycles <= 0) return start;
    walk->count += cycles * steps;
    return start + cycles * length;
  }
  if (cycles <= 0) return start;
  Started *cycle = walk->ring + capacity;
  for (int64_t i = 0; i < steps; ++i)
    cycle[i] = walk->ring[(walk->count - steps + i) % capacity];
  const int64_t skipped = cycles * steps;
  for (int64_t q = skipped > capacity ? skipped - capacity : 0; q < skipped;
       ++q) {
    const time_t shift = (q / steps + 1) * length;
    const Started &from = cycle[q % steps];
    walk->ring[(walk->count + q) % capacity] = {from.start + shift,
                                                from.wall + shift};
  }
  walk->count += skipped;
  return start + cycles * length;
}

// Walks from the newest entry to the last interval due. False to give up.
bool run(Walk *walk, time_t base) {
  const time_t period = walk->period;
  if (period < ICF_HOUR) return run_short(walk, base);
  // Looking for a cycle (Brent's method): the steps since `tortoise`, and
  // the least slack among them.
  time_t tortoise = base, least = Always;
  int64_t power = 1, steps = 0;
  for (;;) {
    time_t next, slack;
    bool skip;
    if (!take_step(walk, base, &next, &skip, &slack)) return false;
    if (next == 0) return true;
    if (next <= base) return false;
    if (!skip && !record(walk, next)) return false;
    ++steps;
    if (slack < least) least = slack;
    // Moved on by a whole number of days and by no more than its slack, a
    // step gives the same answer moved on as well. A cycle moved on by its
    // length keeps the offset of its first base, which the step read, so a
    // cycle that returns to the same time of day is whole days long.
    const bool cycle = floor_mod(wall(&walk->zone, next), ICF_DAY) ==
                       floor_mod(wall(&walk->zone, tortoise), ICF_DAY);
    if (cycle) next = skip_cycles(walk, next, steps, next - tortoise, least);
    if (cycle || power == steps) {
      tortoise = next;
      power = cycle ? 1 : 2 * power;
      steps = 0;
      least = Always;
    }
    base = next;
  }
}

// Counts the starts walked that the newest starts push out of the ring,
// oldest first.
void note_dropped(Walk *walk) {
  IcfTable *table = walk->table;
  const int32_t capacity = table->capacity;
  if (walk->count > capacity) {
    const Started &newest =
        walk->ring[(walk->count - capacity - 1) % walk->capacity];
    char first[13], last[13];
    icf_wall_key(walk->oldest.wall, first);
    icf_wall_key(newest.wall, last);
    icf_note_dropped(table, walk->count - capacity, walk->oldest.start, first,
                     newest.start, last);
  }
}

// Makes entries of the newest starts walked, as the walk would have.
void apply(Walk *walk) {
  IcfTable *table = walk->table;
  const int64_t count = walk->count;
  const int32_t capacity = table->capacity;
  if (count == 0) return;
  if (count >= capacity) {
    // Every entry there is now gets overwritten: all give up their slots,
    // oldest first, before the starts walked that never reach the ring.
    for (int32_t i = 0; i < capacity; ++i) icf_ring_take(table, true);
    note_dropped(walk);
    table->last =
        static_cast<int32_t>((table->last + count - capacity) % capacity);
    table->first = (table->last + 1) % capacity;
  }
  // The stamp is the clock's key, converted again only when the clock has
  // moved on.
  time_t stamped = 0;
  char stamp[13] = "";
  for (int64_t k = count > capacity ? count - capacity : 0; k < count; ++k) {
    const Started &started = walk->ring[k % walk->capacity];
    char key[13];
    icf_wall_key(started.wall, key);
    const time_t clock = time(nullptr);
    if (stamp[0] == '\0' || clock != stamped) {
      stamped = clock;
      if (!icf_cnv_time_str(clock, stamp))
        std_strcpy(stamp, sizeof stamp, "000000000000");
    }
    IcfEntry *entry = icf_entry_new(table, started.start, key, stamp, 'n', 0);
    queue_insert(&table->pending, &entry->link);
  }
}

// Sets up a walk from the newest entry of `table` to `limit` over `ring`,
// 2 * `capacity` starts; false when the fast walk cannot vouch for it.
bool walk_init(Walk *walk, const IcfTable *table, time_t limit, Started *ring,
               int32_t capacity) {
  *walk = {};
  const time_t newest = table->entries[table->last].time;
  if (newest < Lowest || limit > Highest) return false;
  walk->period = table->period;
  walk->limit = limit;
  walk->capacity = capacity;
  walk->ring = ring;
  // The step below reads the zone as the key conversions of the walk do.
  tzset();
  const bool known = icf_zone_data_load(&walk->data);
  zone_init(&walk->zone, newest - Around, known ? &walk->data : nullptr);
  return !walk->zone.failed;
}

}  // namespace

int icf_walk_starts(const IcfTable *table, time_t limit, int64_t *count,
                    time_t *tail) {
  *count = 0;
  if (table->last < 0 || table->period < 1) return 0;
  const time_t newest = table->entries[table->last].time;
  if (limit <= newest) return 1;
  Started ring[2 * ICF_WALK_TAIL];
  Walk walk;
  const bool done =
      walk_init(&walk, table, limit, ring, ICF_WALK_TAIL) && run(&walk, newest);
  icf_zone_data_free(&walk.data);
  if (!done) return 0;
  *count = walk.count;
  const int64_t kept = walk.count < ICF_WALK_TAIL ? walk.count : ICF_WALK_TAIL;
  for (int64_t i = 0; i < kept; ++i)
    tail[i] = ring[(walk.count - kept + i) % ICF_WALK_TAIL].start;
  return 1;
}

IcfCatchUp icf_catch_up(IcfTable *table, time_t now, int include_current) {
  if (!Icf_Knobs.fast_catch_up || table->last < 0 || table->period < 1 ||
      table->capacity < 1)
    return ICF_CATCH_UP_WALK;
  const time_t clock = now >= 0 ? now : time(nullptr);
  const time_t newest = table->entries[table->last].time;
  const time_t limit = icf_due_limit(table, clock, include_current);
  // Every start lies after the newest, so nothing is due before it.
  if (newest < Lowest || limit > Highest) return ICF_CATCH_UP_WALK;
  if (limit <= newest) return ICF_CATCH_UP_CURRENT;
  // One slot more than the ring keeps: the newest interval pushed out of the
  // ring is still known when the dropped ones are reported.
  const int32_t capacity = table->capacity + 1;
  const uint64_t size = 2 * sizeof(Started) * static_cast<uint64_t>(capacity);
  if (size > UINT32_MAX) return ICF_CATCH_UP_WALK;
  Started *ring =
      static_cast<Started *>(std_malloc(nullptr, static_cast<uint32_t>(size)));
  if (ring == nullptr) return ICF_CATCH_UP_WALK;
  Walk walk;
  const bool done =
      walk_init(&walk, table, limit, ring, capacity) && run(&walk, newest);
  walk.table = table;
  if (done) apply(&walk);
  icf_zone_data_free(&walk.data);
  std_free(nullptr, ring);
  return done ? ICF_CATCH_UP_CURRENT : ICF_CATCH_UP_WALK;
}
