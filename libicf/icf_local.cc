// Local time at the cost of the zone's changes, not of the instants asked:
// icftool show and check convert every entry of a file, and localtime_r
// costs more than reading the entry.

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

}  // namespace

void icf_local_init(IcfLocal *local) {
  std::memset(local, 0, sizeof *local);
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
  time_t wall;
  const char *zone;
  if (!icf_local_wall(local, t, &wall, &zone)) return 0;
  const Fields f = fields_of(wall);
  if (f.year < 1969 || f.year > 2068) return 0;
  char *p = two(key, static_cast<int>(f.year % 100));
  p = two(two(p, f.month), f.day);
  two(two(two(p, f.hour), f.minute), f.second)[0] = '\0';
  return 1;
}

size_t icf_local_text(IcfLocal *local, time_t t, char *buffer) {
  time_t wall;
  const char *zone;
  if (!icf_local_wall(local, t, &wall, &zone)) return 0;
  const time_t clock = floor_mod(wall, ICF_DAY);
  const time_t day = (wall - clock) / ICF_DAY;
  if (day != local->text_day || local->text_date[0] == '\0') {
    const Fields f = fields_of(wall);
    if (f.year < 1000 || f.year > 9999) return 0;
    char *p = two(local->text_date, static_cast<int>(f.year / 100));
    p = two(p, static_cast<int>(f.year % 100));
    *p++ = '-';
    p = two(p, f.month);
    *p++ = '-';
    p = two(p, f.day);
    *p++ = ' ';
    local->text_day = day;
  }
  std::memcpy(buffer, local->text_date, 11);
  const Fields f = {0,
                    0,
                    0,
                    static_cast<int>(clock / ICF_HOUR),
                    static_cast<int>(clock / 60 % 60),
                    static_cast<int>(clock % 60)};
  char *p = two(buffer + 11, f.hour);
  *p++ = ':';
  p = two(p, f.minute);
  *p++ = ':';
  p = two(p, f.second);
  *p++ = ' ';
  const size_t n = std::strlen(zone);
  std::memcpy(p, zone, n + 1);
  return static_cast<size_t>(p - buffer) + n;
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
  // Wall times within the keys' years: 1969 to 2068.
  constexpr time_t first = days_from_civil(1969, 1, 1) * ICF_DAY;
  constexpr time_t last = days_from_civil(2069, 1, 1) * ICF_DAY - 1;
  time_t wall, named;
  const char *zone;
  if (!icf_local_wall(local, t, &wall, &zone) || wall < first || wall > last)
    return -1;
  // The writer's key of such a time is always twelve digits in range.
  return icf_key_wall(local, key, &named) && named == wall;
}

int icf_local_shows(IcfLocal *local, const char *key) {
  time_t wall;
  if (!icf_key_wall(local, key, &wall)) return 0;
  // An instant that shows `wall` is wall minus the offset in force then:
  // near a change there are two offsets to try, and where neither holds
  // the time falls into the span the clock skips.
  time_t t = wall, seen;
  const char *zone;
  for (int i = 0; i < 2; ++i) {
    if (!icf_local_wall(local, t, &seen, &zone)) return -1;
    t = wall - (seen - t);
    // The conversion fails at -1 whatever the zone: let it judge nearby.
    if (t > -2 * ICF_DAY && t < 2 * ICF_DAY) return -1;
    if (!icf_local_wall(local, t, &seen, &zone)) return -1;
    if (seen == wall) return 1;
  }
  return 0;
}
