// Where the process's zone may change its UTC offset, read from the data the
// C library's localtime reads: the zone file that TZ names (its table of
// transitions and, past the last one, its rule), or TZ's own rule. The
// catch-up reads the offsets only at these instants instead of sampling the
// whole pause. The list is a superset of the changes: the rule's changes and
// the UTC new years at which the library computes the rule afresh. Where the
// data is not plainly understood (leap seconds, a rule without dates, a name
// that is neither a file nor a rule), nothing is claimed and the catch-up
// samples as before.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "icf_internal.h"
#include "libstd.h"

namespace {

constexpr size_t Most_Bytes = 1 << 20;

// ---- The rule: std offset [dst [offset] ,start[/time],end[/time]] ----------

bool is_alpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool name(const char **p) {
  const char *s = *p;
  if (*s == '<') {
    const char *q = s + 1;
    while (is_alpha(*q) || is_digit(*q) || *q == '+' || *q == '-') ++q;
    if (*q != '>' || q - s - 1 < 3) return false;
    *p = q + 1;
    return true;
  }
  while (is_alpha(*s)) ++s;
  if (s - *p < 3) return false;
  *p = s;
  return true;
}

// hh[:mm[:ss]], hours of at most three digits, minutes and seconds at most
// 59: what lies beyond is left to the library.
bool clock_value(const char **p, time_t *secs) {
  const char *s = *p;
  time_t field[3] = {0, 0, 0};
  for (int i = 0; i < 3; ++i) {
    if (i > 0 && *s != ':') break;
    if (i > 0) ++s;
    if (!is_digit(*s)) return false;
    time_t v = 0;
    for (int n = 0; is_digit(*s); ++s, ++n) {
      if (n == 3) return false;
      v = v * 10 + (*s - '0');
    }
    field[i] = v;
  }
  if (field[1] > 59 || field[2] > 59) return false;
  *secs = field[0] * ICF_HOUR + field[1] * 60 + field[2];
  *p = s;
  return true;
}

// An offset west of UTC as written, returned east of it.
bool offset(const char **p, time_t *east) {
  const char *s = *p;
  time_t sign = -1;
  if (*s == '+' || *s == '-') sign = *s++ == '-' ? 1 : -1;
  time_t secs;
  if (!clock_value(&s, &secs) || secs > 24 * ICF_HOUR) return false;
  *east = sign * secs;
  *p = s;
  return true;
}

bool change(const char **p, IcfZoneRule *rule) {
  const char *s = *p;
  if (*s == ',') ++s;
  char *end;
  if (*s == 'J' || is_digit(*s)) {
    rule->kind = *s == 'J' ? 'J' : 'N';
    if (rule->kind == 'J' && !is_digit(*++s)) return false;
    const long d = std::strtol(s, &end, 10);
    if (end == s || d > 365 || (rule->kind == 'J' && d == 0)) return false;
    rule->day = static_cast<int32_t>(d);
    s = end;
  } else if (*s == 'M') {
    long f[3];
    ++s;
    for (int i = 0; i < 3; ++i) {
      if (i > 0 && *s++ != '.') return false;
      if (!is_digit(*s)) return false;
      f[i] = std::strtol(s, &end, 10);
      s = end;
    }
    if (f[0] < 1 || f[0] > 12 || f[1] < 1 || f[1] > 5 || f[2] > 6) return false;
    rule->kind = 'M';
    rule->month = static_cast<int32_t>(f[0]);
    rule->week = static_cast<int32_t>(f[1]);
    rule->day = static_cast<int32_t>(f[2]);
  } else {
    return false;
  }
  rule->secs = 2 * ICF_HOUR;
  if (*s == '/') {
    ++s;
    const bool negative = *s == '-';
    if (negative) ++s;
    if (!clock_value(&s, &rule->secs) || rule->secs > 167 * ICF_HOUR)
      return false;
    if (negative) rule->secs = -rule->secs;
  }
  *p = s;
  return true;
}

// The whole text or nothing: a rule only partly understood claims nothing.
bool parse_rule(const char *s, IcfZoneData *data) {
  if (!name(&s) || !offset(&s, &data->std_offset)) return false;
  data->dst_offset = data->std_offset;
  data->rule = 1;
  if (*s == '\0') return true;
  if (!name(&s)) return false;
  data->dst_offset = data->std_offset + ICF_HOUR;
  if (*s != ',' && !offset(&s, &data->dst_offset)) return false;
  // Without dates the library takes them from another file.
  if (*s != ',' || !change(&s, &data->change[0]) || *s != ',' ||
      !change(&s, &data->change[1]))
    return false;
  return *s == '\0';
}

// ---- The zone file ------------------------------------------------------

uint32_t be32(const unsigned char *p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 |
         p[3];
}

// The bytes of the file, in a buffer from std_malloc; null when it cannot be
// read whole.
unsigned char *read_file(const char *path, size_t *size) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return nullptr;
  struct stat st;
  unsigned char *bytes = nullptr;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
      static_cast<size_t>(st.st_size) < Most_Bytes)
    bytes = static_cast<unsigned char *>(
        std_malloc(nullptr, static_cast<uint32_t>(st.st_size)));
  *size = 0;
  while (bytes != nullptr && *size < static_cast<size_t>(st.st_size)) {
    const ssize_t n = read(fd, bytes + *size, st.st_size - *size);
    if (n <= 0)
      bytes = static_cast<unsigned char *>(std_free(nullptr, bytes));
    else
      *size += static_cast<size_t>(n);
  }
  close(fd);
  return bytes;
}

// The 64-bit part of a file of version 2 or later: the transitions and the
// rule after them. False for anything else.
bool parse_file(const unsigned char *b, size_t size, IcfZoneData *data) {
  auto counts = [&](size_t at, uint32_t c[6]) {
    if (at + 44 > size || std::memcmp(b + at, "TZif", 4) != 0 ||
        b[at + 4] < '2')
      return false;
    for (int i = 0; i < 6; ++i) c[i] = be32(b + at + 20 + 4 * i);
    return c[0] < Most_Bytes && c[1] < Most_Bytes && c[2] < Most_Bytes &&
           c[3] < Most_Bytes && c[4] < Most_Bytes && c[5] < Most_Bytes;
  };
  uint32_t c[6];  // isut, isstd, leap, time, type, char
  if (!counts(0, c)) return false;
  const size_t second = 44 + size_t{c[3]} * 5 + size_t{c[4]} * 6 + c[5] +
                        size_t{c[2]} * 8 + c[1] + c[0];
  if (!counts(second, c) || c[2] != 0) return false;
  const size_t times = second + 44;
  const size_t footer =
      times + size_t{c[3]} * 9 + size_t{c[4]} * 6 + c[5] + size_t{c[1]} + c[0];
  if (footer >= size || b[footer] != '\n') return false;
  data->count = static_cast<int32_t>(c[3]);
  data->times = static_cast<int64_t *>(
      std_malloc(nullptr, static_cast<uint32_t>(8 * (c[3] + 1))));
  if (data->times == nullptr) return false;
  for (uint32_t i = 0; i < c[3]; ++i) {
    const unsigned char *p = b + times + 8 * size_t{i};
    data->times[i] =
        static_cast<int64_t>(uint64_t{be32(p)} << 32 | be32(p + 4));
    if (i > 0 && data->times[i] <= data->times[i - 1]) return false;
  }
  // Without transitions the library keeps the first type and never reads
  // the rule; an empty rule keeps the last type.
  const unsigned char *end = static_cast<const unsigned char *>(
      std::memchr(b + footer + 1, '\n', size - footer - 1));
  if (end == nullptr) return false;
  const size_t length = static_cast<size_t>(end - (b + footer + 1));
  if (data->count == 0 || length == 0) return true;
  char rule[128];
  if (length >= sizeof rule) return false;
  std::memcpy(rule, b + footer + 1, length);
  rule[length] = '\0';
  return parse_rule(rule, data);
}

// ---- The rule's changes -------------------------------------------------

// Days from 1970-01-01 to the civil date (H. Hinnant's method).
int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

bool leap(int64_t y) { return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0); }

int64_t month_days(int64_t y, int32_t m) {
  static const int8_t days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return days[m - 1] + (m == 2 && leap(y) ? 1 : 0);
}

// The instant of a change in UTC year y, the rule's time read in `east`.
time_t change_at(const IcfZoneRule &r, int64_t y, time_t east) {
  int64_t day = days_from_civil(y, 1, 1);
  if (r.kind == 'J') {
    day += r.day - 1 + (r.day >= 60 && leap(y) ? 1 : 0);
  } else if (r.kind == 'N') {
    day += r.day;
  } else {
    const int64_t first = days_from_civil(y, r.month, 1);
    // 1970-01-01 was a Thursday.
    const int64_t weekday = ((first + 4) % 7 + 7) % 7;
    int64_t d = (r.day - weekday + 7) % 7;
    for (int32_t i = 1; i < r.week && d + 7 < month_days(y, r.month); ++i)
      d += 7;
    day = first + d;
  }
  return static_cast<time_t>(day * ICF_DAY + r.secs - east);
}

int64_t utc_year(time_t t) {
  int64_t y = 1970 + static_cast<int64_t>(t / (365 * ICF_DAY + ICF_DAY / 4));
  while (days_from_civil(y, 1, 1) * ICF_DAY > t) --y;
  while (days_from_civil(y + 1, 1, 1) * ICF_DAY <= t) ++y;
  return y;
}

}  // namespace

int icf_zone_data_load(IcfZoneData *data) {
  std::memset(data, 0, sizeof *data);
  const char *tz = std::getenv("TZ");
  if (tz != nullptr && *tz == ':') ++tz;
  // The library's own choices for an empty TZ and for names that climb out
  // of the zone folder are not followed here.
  if ((tz != nullptr && *tz == '\0') ||
      (tz != nullptr && std::strstr(tz, "..") != nullptr))
    return 0;
  char path[4096];
  const char *folder = std::getenv("TZDIR");
  if (folder == nullptr || *folder == '\0') folder = "/usr/share/zoneinfo";
  if (tz == nullptr)
    std_strcpy(path, sizeof path, "/etc/localtime");
  else if (*tz == '/')
    std_strcpy(path, sizeof path, tz);
  else if (std::strlen(folder) + std::strlen(tz) + 2 > sizeof path)
    return 0;
  else
    std::strcat(std::strcat(std::strcpy(path, folder), "/"), tz);
  size_t size;
  unsigned char *bytes = read_file(path, &size);
  bool ok;
  if (bytes != nullptr) {
    ok = parse_file(bytes, size, data);
    std_free(nullptr, bytes);
  } else {
    // A name that is no file is read as a rule holding at all times.
    ok = tz != nullptr && parse_rule(tz, data);
    data->count = 0;
  }
  if (!ok) icf_zone_data_free(data);
  return ok;
}

void icf_zone_data_free(IcfZoneData *data) {
  std_free(nullptr, data->times);
  std::memset(data, 0, sizeof *data);
}

int icf_zone_next(const IcfZoneData *data, time_t t, IcfCandidate *next) {
  // The table's next transition.
  int32_t low = 0, high = data->count;
  while (low < high) {
    const int32_t mid = low + (high - low) / 2;
    if (data->times[mid] <= t)
      low = mid + 1;
    else
      high = mid;
  }
  *next = {};
  if (low < data->count) {
    next->at = static_cast<time_t>(data->times[low]);
    return 1;
  }
  // Past the table the rule holds, from its last transition on; without
  // summer time nothing changes.
  if (!data->rule || data->dst_offset == data->std_offset) return 0;
  // The library computes the changes of each UTC year alone: a year whose
  // changes do not both fall inside it is not plainly understood. Where two
  // years order their changes alike, the clock goes from one into the next
  // in the same time; else the new year is a candidate too.
  auto changes = [&](int64_t y, time_t *on, time_t *off) {
    const time_t year = days_from_civil(y, 1, 1) * ICF_DAY;
    const time_t after = days_from_civil(y + 1, 1, 1) * ICF_DAY;
    *on = change_at(data->change[0], y, data->std_offset);
    *off = change_at(data->change[1], y, data->dst_offset);
    return *on > year && *on<after && * off> year && *off < after &&
           *on != *off;
  };
  int64_t y = utc_year(t);
  time_t on, off;
  if (!changes(y, &on, &off)) return -1;
  for (;; ++y) {
    const IcfCandidate into = {on, 1, data->std_offset, data->dst_offset};
    const IcfCandidate out = {off, 1, data->dst_offset, data->std_offset};
    const IcfCandidate &first = on < off ? into : out;
    const IcfCandidate &second = on < off ? out : into;
    *next = first.at > t ? first : second;
    if (next->at > t) return 1;
    const time_t year = ICF_DAY * days_from_civil(y + 1, 1, 1);
    const bool before = on < off;
    const bool known = changes(y + 1, &on, &off);
    if ((!known || before != (on < off)) && year > t) {
      *next = {year, 0, 0, 0};
      return 1;
    }
    if (!known) return -1;
  }
}
