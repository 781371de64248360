// Local time at the cost of the zone's changes, not of the instants asked:
// icftool show and check convert every entry of a file, and localtime_r
// costs more than reading the entry.

#include <cstdint>
#include <cstring>
#include <ctime>

#include "icf_internal.h"
#include "libicf.h"

namespace {

// Offsets are sampled this far apart, as the catch-up samples them: a
// change undone within one step would go unseen, and the shortest-lived
// offset in the time zone database since 1970 lasted 6.96 days.
constexpr time_t Probe = 4 * ICF_DAY;
// Instants beyond these are left to localtime_r, which also keeps the
// sums below from overflowing.
constexpr time_t Lowest = -(time_t{1} << 40);
constexpr time_t Highest = time_t{1} << 40;

struct Attrs {
  long offset;
  char zone[16];
};

bool same(const Attrs &a, const IcfLocalSpan &s) {
  return a.offset == s.offset && std::strcmp(a.zone, s.zone) == 0;
}

// What localtime_r tells of t. False when it fails, when its wall time is
// not t plus the offset (a zone that counts leap seconds) or when the
// abbreviation is too long to keep.
bool attrs_at(time_t t, Attrs *a) {
  struct tm f;
  if (localtime_r(&t, &f) == nullptr) return false;
  const time_t clock = f.tm_hour * ICF_HOUR + f.tm_min * 60 + f.tm_sec;
  if (floor_mod(t + f.tm_gmtoff, ICF_DAY) != clock) return false;
  const char *zone = f.tm_zone != nullptr ? f.tm_zone : "";
  if (std::strlen(zone) >= sizeof a->zone) return false;
  // All of it, so that a copy of the whole array copies nothing unknown.
  std::memset(a->zone, 0, sizeof a->zone);
  a->offset = f.tm_gmtoff;
  std::strcpy(a->zone, zone);
  return true;
}

int find(const IcfLocal *local, time_t t) {
  for (int i = 0; i < local->count; ++i)
    if (local->spans[i].from <= t && t <= local->spans[i].to) return i;
  return -1;
}

// Keeps a new span, giving up another than `keep` when all are taken.
void add(IcfLocal *local, time_t from, time_t to, const Attrs &a, int keep) {
  int i = local->count;
  if (i == 4) {
    if (local->next == keep) local->next = (local->next + 1) % 4;
    i = local->next;
    local->next = (local->next + 1) % 4;
  } else {
    ++local->count;
  }
  IcfLocalSpan &s = local->spans[i];
  s.from = from;
  s.to = to;
  s.offset = a.offset;
  std::memcpy(s.zone, a.zone, sizeof s.zone);
}

// Grows span i by a probe towards t, which lies within a probe beyond its
// end (`forward`) or before its start; where the offset changes on the
// way, the span ends there and what follows the change becomes a span.
bool grow(IcfLocal *local, int i, bool forward) {
  IcfLocalSpan &s = local->spans[i];
  const time_t edge = forward ? s.to : s.from;
  const time_t far = forward ? edge + Probe : edge - Probe;
  Attrs there;
  if (!attrs_at(far, &there)) return false;
  if (same(there, s)) {
    (forward ? s.to : s.from) = far;
    return true;
  }
  // Bisect for the change: `in` keeps the span's offset, `out` has the
  // other, which under the sampling's premise holds up to `far`.
  time_t in = edge, out = far;
  Attrs changed = there;
  while (in - out > 1 || out - in > 1) {
    const time_t mid = in + (out - in) / 2;
    Attrs a;
    if (!attrs_at(mid, &a)) return false;
    if (same(a, s)) {
      in = mid;
    } else {
      out = mid;
      changed = a;
    }
  }
  if (changed.offset != there.offset ||
      std::strcmp(changed.zone, there.zone) != 0)
    return false;
  (forward ? s.to : s.from) = in;
  add(local, forward ? out : far, forward ? far : out, there, i);
  return true;
}

// Learns the offset in force at t.
bool learn(IcfLocal *local, time_t t) {
  for (int i = 0; i < local->count; ++i) {
    const IcfLocalSpan &s = local->spans[i];
    if (t > s.to && t - s.to <= Probe) return grow(local, i, true);
    if (t < s.from && s.from - t <= Probe) return grow(local, i, false);
  }
  Attrs a;
  if (!attrs_at(t, &a)) return false;
  add(local, t, t, a, -1);
  return true;
}

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian).
constexpr time_t days_from_civil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

struct Fields {
  int64_t year;
  int month, day, hour, minute, second;
};

Fields fields_of(time_t wall) {
  const int64_t days = (wall - floor_mod(wall, ICF_DAY)) / ICF_DAY;
  const int64_t clock = floor_mod(wall, ICF_DAY);
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  return {yoe + era * 400 + (month <= 2),
          month,
          static_cast<int>(doy - (153 * mp + 2) / 5 + 1),
          static_cast<int>(clock / ICF_HOUR),
          static_cast<int>(clock / 60 % 60),
          static_cast<int>(clock % 60)};
}

char *two(char *p, int v) {
  p[0] = static_cast<char>('0' + v / 10);
  p[1] = static_cast<char>('0' + v % 10);
  return p + 2;
}

int days_in_month(int64_t year, int month) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : days[month - 1];
}

// The two digits of 0 to 99 as they lie in memory, read as 16 bits.
struct Pairs {
  uint16_t of[100];
  constexpr Pairs() : of() {
    for (int v = 0; v < 100; ++v)
      of[v] = static_cast<uint16_t>(('0' + v / 10) | ('0' + v % 10) << 8);
  }
};
constexpr Pairs Pair;

uint64_t load8(const char *p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// The digits of a clock (seconds into the day): HH and MM, then SS, as
// they lie in memory.
struct ClockDigits {
  uint32_t hours_minutes;
  uint16_t seconds;
};
ClockDigits clock_digits(time_t clock) {
  const auto c = static_cast<uint32_t>(clock);
  return {Pair.of[c / 3600] | static_cast<uint32_t>(Pair.of[c / 60 % 60]) << 16,
          Pair.of[c % 60]};
}

// "HHMMSS" of a clock.
char *clock_text(char *p, time_t clock) {
  const ClockDigits c = clock_digits(clock);
  std::memcpy(p, &c.hours_minutes, 4);
  std::memcpy(p + 4, &c.seconds, 2);
  return p + 6;
}

// Learns the date that t shows and the instants around t that show it
// under t's offset; once a date, and apart from the dates' use.
__attribute__((noinline)) bool learn_day(IcfLocal *local, time_t t) {
  time_t wall;
  const char *zone;
  if (!icf_local_wall(local, t, &wall, &zone)) return false;
  const int i = find(local, t);
  if (i < 0) return false;
  const IcfLocalSpan &s = local->spans[i];
  IcfLocalDay &d = local->day;
  d.midnight = t - floor_mod(wall, ICF_DAY);
  d.from = d.midnight > s.from ? d.midnight : s.from;
  d.to = d.midnight + ICF_DAY - 1 < s.to ? d.midnight + ICF_DAY - 1 : s.to;
  const Fields f = fields_of(wall);
  d.keys = f.year >= 1969 && f.year <= 2068;
  two(two(two(d.key, static_cast<int>(f.year % 100)), f.month), f.day)[0] =
      '\0';
  d.text[0] = '\0';
  if (f.year >= 1000 && f.year <= 9999) {
    char *p = two(two(d.text, static_cast<int>(f.year / 100)),
                  static_cast<int>(f.year % 100));
    *p++ = '-';
    p = two(p, f.month);
    *p++ = '-';
    p = two(p, f.day);
    *p++ = ' ';
    *p = '\0';
  }
  d.zone_length = static_cast<int32_t>(std::strlen(zone));
  std::memcpy(d.zone, zone, sizeof d.zone);
  return true;
}

// The date of t, from the last one when t shares it.
inline const IcfLocalDay *day_of(IcfLocal *local, time_t t) {
  if (t >= local->day.from && t <= local->day.to) return &local->day;
  return learn_day(local, t) ? &local->day : nullptr;
}

// Whether the clock shows every time of the date whose 00:00:00 is the
// wall time `midnight` once, under one offset. Dates near the epoch are
// left to the conversion, as icf_local_shows leaves them.
int whole_date(IcfLocal *local, time_t midnight) {
  time_t seen;
  const char *zone;
  if (!icf_local_wall(local, midnight, &seen, &zone)) return 0;
  const time_t first = midnight - (seen - midnight);
  const time_t last = first + ICF_DAY - 1;
  if (first < 2 * ICF_DAY || !icf_local_wall(local, last, &seen, &zone) ||
      !icf_local_wall(local, first, &seen, &zone) || seen != midnight)
    return 0;
  const int i = find(local, first);
  return i >= 0 && i == find(local, last);
}

}  // namespace

void icf_local_init(IcfLocal *local) {
  std::memset(local, 0, sizeof *local);
  local->day.from = 1;
  local->shown[0] = local->shown[1] = -1;
  // The conversions of the programs read the zone afresh (std_time_*).
  tzset();
}

int icf_local_wall(IcfLocal *local, time_t t, time_t *wall, const char **zone) {
  if (t < Lowest || t > Highest) return 0;
  int i = find(local, t);
  if (i < 0 && learn(local, t)) i = find(local, t);
  if (i < 0) return 0;
  *wall = t + local->spans[i].offset;
  *zone = local->spans[i].zone;
  return 1;
}

int icf_local_key(IcfLocal *local, time_t t, char *key) {
  const IcfLocalDay *d = day_of(local, t);
  if (d == nullptr || !d->keys) return 0;
  std::memcpy(key, d->key, 6);
  clock_text(key + 6, t - d->midnight)[0] = '\0';
  return 1;
}

size_t icf_local_text(IcfLocal *local, time_t t, char *buffer) {
  const IcfLocalDay *d = day_of(local, t);
  if (d == nullptr || d->text[0] == '\0') return 0;
  const ClockDigits c = clock_digits(t - d->midnight);
  const uint64_t clock = (c.hours_minutes & 0xffffu) | uint64_t{':'} << 16 |
                         uint64_t{c.hours_minutes >> 16} << 24 |
                         uint64_t{':'} << 40 | uint64_t{c.seconds} << 48;
  std::memcpy(buffer, d->text, 11);
  std::memcpy(buffer + 11, &clock, 8);
  buffer[19] = ' ';
  // The whole array, NUL included, whatever the abbreviation's length.
  std::memcpy(buffer + 20, d->zone, sizeof d->zone);
  return 20 + static_cast<size_t>(d->zone_length);
}

int icf_key_wall(IcfLocal *local, const char *key, time_t *wall) {
  int v[6];
  if (!icf_twelve_digits(key, v) || v[3] > 23 || v[4] > 59 || v[5] > 59)
    return 0;
  const time_t clock = v[3] * ICF_HOUR + v[4] * 60 + v[5];
  for (int i = 0; i < 2; ++i)
    if (std::memcmp(local->dates[i], key, 6) == 0) {
      *wall = local->days[i] * ICF_DAY + clock;
      return 1;
    }
  const int64_t year = v[0] < 69 ? 2000 + v[0] : 1900 + v[0];
  if (v[1] < 1 || v[1] > 12 || v[2] < 1 || v[2] > days_in_month(year, v[1]))
    return 0;
  const int i = local->date_next;
  local->date_next = 1 - i;
  std::memcpy(local->dates[i], key, 6);
  local->days[i] = days_from_civil(year, v[1], v[2]);
  *wall = local->days[i] * ICF_DAY + clock;
  return 1;
}

int icf_local_names(IcfLocal *local, time_t t, const char *key) {
  // The writer's key of a time within the keys' years is its date's and
  // its clock's twelve digits, and no other text names that time.
  const IcfLocalDay *d = day_of(local, t);
  if (d == nullptr || !d->keys) return -1;
  const ClockDigits c = clock_digits(t - d->midnight);
  uint32_t minutes;
  std::memcpy(&minutes, key + 8, 4);
  const uint64_t head = (load8(d->key) & 0xffffffffffffu) |
                        uint64_t{c.hours_minutes & 0xffffu} << 48;
  return load8(key) == head &&
         minutes == ((c.hours_minutes >> 16) | uint32_t{c.seconds} << 16) &&
         key[12] == '\0';
}

int icf_local_shows(IcfLocal *local, const char *key) {
  // Stamps fall on few dates, nearly all of them without a clock change.
  const uint64_t date = load8(key) & 0xffffffffffffu;
  int i = date == (load8(local->shown_dates[0]) & 0xffffffffffffu)   ? 0
          : date == (load8(local->shown_dates[1]) & 0xffffffffffffu) ? 1
                                                                     : -1;
  if (i >= 0 && local->shown[i] == 1) {
    const auto digit = [key](int k) { return key[k] - '0'; };
    for (int k = 6; k < 12; ++k)
      if (digit(k) < 0 || digit(k) > 9) return 0;
    return digit(6) * 10 + digit(7) <= 23 && digit(8) <= 5 && digit(10) <= 5 &&
           key[12] == '\0';
  }
  time_t wall;
  if (!icf_key_wall(local, key, &wall)) return 0;
  if (i < 0) {
    i = local->shown_next;
    local->shown_next = 1 - i;
    std::memcpy(local->shown_dates[i], key, 6);
    local->shown[i] = whole_date(local, wall - floor_mod(wall, ICF_DAY));
  }
  if (local->shown[i] == 1) return 1;
  // An instant that shows `wall` is wall minus the offset in force then:
  // near a change there are two offsets to try, and where neither holds
  // the time falls into the span the clock skips.
  time_t t = wall, seen;
  const char *zone;
  for (int step = 0; step < 2; ++step) {
    if (!icf_local_wall(local, t, &seen, &zone)) return -1;
    t = wall - (seen - t);
    // The conversion fails at -1 whatever the zone: let it judge nearby.
    if (t > -2 * ICF_DAY && t < 2 * ICF_DAY) return -1;
    if (!icf_local_wall(local, t, &seen, &zone)) return -1;
    if (seen == wall) return 1;
  }
  return 0;
}
