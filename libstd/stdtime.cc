// Calendar time conversion and date-time fields.
//
// Times pass through the platform's broken-down time (struct tm) on their
// way between a time value, a StdTimeValue record and text. The 12-digit key
// form yymmddhhmmss is what the checkpoint files are built on; its two-digit
// year covers 1969-2068.

#include <sys/time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "libstd.h"

const char UTC_Name[4] = "GMT";

namespace {

constexpr const char *Key_Format = "%02ld%02ld%02ld%02ld%02ld%02ld";
constexpr int Key_Length = 12;
constexpr const char *Dt_Format = "%04lu%02hu%02hu%02hu";
constexpr int Dt_Length = 10;
constexpr int64_t Usec_Per_Sec = 1000000;

// The record's full year is an int32_t as well; the last 1900 years of
// tm_year would overflow it.
bool year_fits(const struct tm &tm) { return tm.tm_year <= INT32_MAX - 1900; }

// The time value *t, or the current time when t is null or *t is 0, broken
// down into *tm. A 0 in *t is replaced by the time used.
int t_to_tm(time_t *t, struct tm *tm, int local) {
  time_t when = t != nullptr ? *t : 0;
  if (when == 0 && !std_time_get(&when)) return 0;
  struct tm out;
  if (local) {
    // localtime_r, unlike localtime and mktime, need not look at TZ again;
    // make sure all conversions here see the same zone.
    tzset();
    if (localtime_r(&when, &out) == nullptr) return 0;
  } else if (gmtime_r(&when, &out) == nullptr) {
    return 0;
  }
  if (!year_fits(out)) return 0;
  *tm = out;
  if (t != nullptr && *t == 0) *t = when;
  return 1;
}

// The instant that the wall-clock fields of *tm name, local or UTC; *tm is
// normalised in place. *t is 0 on failure.
int tm_to_t(struct tm *tm, int local, time_t *t) {
  *t = 0;
  // The fields alone decide: mktime picks daylight-saving time itself.
  tm->tm_isdst = -1;
  // -1 is also a valid instant (one second before the epoch); the weekday
  // is only filled in by a conversion that succeeded.
  tm->tm_wday = -1;
  // UTC fields go through timegm: subtracting a local offset from mktime's
  // result goes wrong wherever those fields fall into a local gap or repeat.
  time_t result = local ? mktime(tm) : timegm(tm);
  if ((result == -1 && tm->tm_wday == -1) || !year_fits(*tm)) return 0;
  *t = result;
  return 1;
}

void tm_to_tv(const struct tm *tm, int local, StdTimeValue *value) {
  memset(value, 0, sizeof *value);
  value->sec = tm->tm_sec;
  value->min = tm->tm_min;
  value->hour = tm->tm_hour;
  value->mday = tm->tm_mday;
  value->mon = tm->tm_mon;
  value->year = tm->tm_year + 1900;
  value->wday = tm->tm_wday;
  value->yday = tm->tm_yday;
  value->isdst = tm->tm_isdst > 0 ? 1 : 0;
  const char *name = UTC_Name;
  long offset = 0;
  if (!local) {
    value->isdst = 0;
  } else {
    // glibc has no altzone: the broken-down time carries the offset and
    // abbreviation in force at its instant.
    name = tm->tm_zone != nullptr ? tm->tm_zone : tzname[value->isdst];
    offset = tm->tm_gmtoff;
  }
  if (name != nullptr) std_strcpy(value->zone, sizeof value->zone, name);
  value->gmtoff = static_cast<int32_t>(offset);
}

int tv_to_tm(const StdTimeValue *value, int local, struct tm *tm, time_t *t) {
  time_t unused;
  if (t == nullptr) t = &unused;
  memset(tm, 0, sizeof *tm);
  *t = 0;
  tm->tm_sec = value->sec;
  tm->tm_min = value->min;
  tm->tm_hour = value->hour;
  tm->tm_mday = value->mday;
  tm->tm_mon = value->mon;
  if (value->year < INT32_MIN + 1900) return 0;
  tm->tm_year = value->year - 1900;
  tm->tm_wday = value->wday;
  tm->tm_yday = value->yday;
  return tm_to_t(tm, local, t);
}

// The length of the text written, or -1.
int tm_to_a(const struct tm *tm, const char *format, char *buf, uint32_t size) {
  if (format != nullptr) {
    size_t n = strftime(buf, size, format, tm);
    return n > 0 ? static_cast<int>(n) : -1;
  }
  if (size < Key_Length + 1) return -1;
  // A year before 1900 has no two-digit form; its minus sign would make a
  // key that reads back as a different year.
  if (tm->tm_year < 0) return -1;
  int n = std_snprintf(buf, size, Key_Format, long{tm->tm_year % 100},
                       long{tm->tm_mon + 1}, long{tm->tm_mday},
                       long{tm->tm_hour}, long{tm->tm_min}, long{tm->tm_sec});
  return n == Key_Length ? n : -1;
}

bool is_blank(const char *text) {
  for (; *text != '\0'; ++text) {
    if (strchr(" \t\n\v\f\r", *text) == nullptr) return false;
  }
  return true;
}

int a_to_tm(const char *text, const char *format, int local, struct tm *tm,
            time_t *t) {
  time_t unused;
  if (t == nullptr) t = &unused;
  memset(tm, 0, sizeof *tm);
  *t = 0;
  if (text == nullptr || is_blank(text)) return t_to_tm(t, tm, local);
  if (format != nullptr) {
    if (strptime(text, format, tm) == nullptr) return 0;
    return tm_to_t(tm, local, t);
  }
  long field[6] = {0, 1, 1, 0, 0, 0};
  int n = sscanf(text, Key_Format, &field[0], &field[1], &field[2], &field[3],
                 &field[4], &field[5]);
  if (n < 0) return 0;
  if (n == 0) return t_to_tm(t, tm, local);
  long year = field[0] % 100;
  if (year < 69) year += 100;
  tm->tm_year = static_cast<int>(year);
  tm->tm_mon = static_cast<int>(field[1] - 1);
  tm->tm_mday = static_cast<int>(field[2]);
  tm->tm_hour = static_cast<int>(field[3]);
  tm->tm_min = static_cast<int>(field[4]);
  tm->tm_sec = static_cast<int>(field[5]);
  return tm_to_t(tm, local, t);
}

// Writes exactly `width` digits of `value`, keeping its low digits.
void pad_i2a(uint32_t value, char *destination, uint32_t width) {
  while (width > 0) {
    destination[--width] =
        static_cast<char>(std_char_todigcode(value % 10, 10));
    value /= 10;
  }
}

// Reads exactly `width` digits at *cursor; the cursor moves only on success.
int pad_a2i(const char **cursor, uint32_t *result, uint32_t width) {
  uint32_t value = 0;
  const char *p = *cursor;
  for (uint32_t i = 0; i < width; ++i) {
    int digit = std_char_todigval(static_cast<unsigned char>(p[i]), 10);
    if (digit < 0) return 0;
    value = value * 10 + static_cast<uint32_t>(digit);
  }
  *result = value;
  *cursor = p + width;
  return 1;
}

struct DtFields {
  uint32_t days;
  uint16_t hours;
  uint16_t minutes;
  uint16_t seconds;
};

}  // namespace

int std_time_get(time_t *now) {
  errno = 0;
  if (time(now) == -1 && errno != 0) return 0;
  return 1;
}

int std_finetime_get(StdFineTime *now) {
  struct timeval tv;
  if (gettimeofday(&tv, nullptr) < 0) return 0;
  now->sec = tv.tv_sec;
  now->usec = static_cast<int32_t>(tv.tv_usec);
  return 1;
}

void std_finetime_diff(const StdFineTime *from, const StdFineTime *to,
                       StdFineTime *result) {
  // 128 bits: seconds of a 64-bit time_t times 10^6 would overflow 64.
  __int128 d = (static_cast<__int128>(to->sec) * Usec_Per_Sec + to->usec) -
               (static_cast<__int128>(from->sec) * Usec_Per_Sec + from->usec);
  result->sec = static_cast<time_t>(d / Usec_Per_Sec);
  result->usec = static_cast<int32_t>(d % Usec_Per_Sec);
}

void std_finetime_add(const StdFineTime *a, const StdFineTime *b,
                      StdFineTime *result) {
  // Unsigned sums wrap instead of overflowing.
  time_t sec = static_cast<time_t>(static_cast<uint64_t>(a->sec) +
                                   static_cast<uint64_t>(b->sec));
  int64_t usec = int64_t{a->usec} + b->usec;
  if (usec <= -Usec_Per_Sec) {
    sec = static_cast<time_t>(static_cast<uint64_t>(sec) - 1);
    usec += Usec_Per_Sec;
  } else if (usec >= Usec_Per_Sec) {
    sec = static_cast<time_t>(static_cast<uint64_t>(sec) + 1);
    usec -= Usec_Per_Sec;
  }
  result->sec = sec;
  result->usec = static_cast<int32_t>(usec);
}

int std_time_break(time_t *t, StdTimeValue *value, int local) {
  struct tm tm;
  if (!t_to_tm(t, &tm, local)) return 0;
  tm_to_tv(&tm, local, value);
  return 1;
}

int std_time_make(StdTimeValue *value, int local, time_t *t) {
  struct tm tm;
  if (!tv_to_tm(value, local, &tm, t)) return 0;
  tm_to_tv(&tm, local, value);
  return 1;
}

int std_time_format(time_t *t, StdTimeValue *value, const char *format,
                    char *buf, uint32_t size, int local) {
  struct tm tm;
  if (!t_to_tm(t, &tm, local)) return -1;
  int n = tm_to_a(&tm, format, buf, size);
  if (n < 0) return -1;
  if (value != nullptr) tm_to_tv(&tm, local, value);
  return n;
}

int std_time_parse(const char *text, const char *format, int local, time_t *t,
                   StdTimeValue *value) {
  struct tm tm;
  if (!a_to_tm(text, format, local, &tm, t)) return 0;
  if (value != nullptr) tm_to_tv(&tm, local, value);
  return 1;
}

int std_dt_format(const int32_t *seconds, const char *format, char *buf,
                  uint32_t size) {
  int32_t v = *seconds;
  DtFields f = {static_cast<uint32_t>(((v / 60) / 60) / 24),
                static_cast<uint16_t>((v / 3600) % 24),
                static_cast<uint16_t>((v / 60) % 60),
                static_cast<uint16_t>(v % 60)};
  if (format == nullptr) {
    if (size < Dt_Length + 1) {
      if (size > 0) buf[0] = '\0';
      return -1;
    }
    int n =
        std_snprintf(buf, size, Dt_Format, static_cast<unsigned long>(f.days),
                     f.hours, f.minutes, f.seconds);
    return n == Dt_Length ? n : -1;
  }
  if (size == 0) return -1;
  uint32_t free = size;
  uint32_t pos = 0;
  bool percent = false;
  for (const char *p = format; *p != '\0' && free > 0; ++p) {
    if (!percent) {
      if (*p == '%') {
        percent = true;
      } else {
        buf[pos++] = *p;
        --free;
      }
      continue;
    }
    percent = false;
    uint32_t width = 0;
    uint32_t field = 0;
    switch (*p) {
      case '%':
        buf[pos++] = '%';
        --free;
        continue;
      case 'j':
        width = 4, field = f.days;
        break;
      case 'H':
        width = 2, field = f.hours;
        break;
      case 'M':
        width = 2, field = f.minutes;
        break;
      case 'S':
        width = 2, field = f.seconds;
        break;
      default:
        if (free < 2) {
          free = 0;
        } else {
          buf[pos++] = '%';
          buf[pos++] = *p;
          free -= 2;
        }
        continue;
    }
    if (free < width) {
      free = 0;
    } else {
      pad_i2a(field, buf + pos, width);
      pos += width;
      free -= width;
    }
  }
  if (percent && free > 0) {
    buf[pos++] = '%';
    --free;
  }
  if (free == 0) {
    // Keep what fitted, terminated, so that no reader runs past the buffer.
    buf[pos < size ? pos : size - 1] = '\0';
    return -1;
  }
  buf[pos] = '\0';
  return static_cast<int>(pos);
}

int std_dt_parse(const char *text, const char *format, int32_t *seconds) {
  uint32_t days = 0;
  uint16_t hours = 0, minutes = 0, secs = 0;
  if (format == nullptr) {
    unsigned long d = 0;
    if (sscanf(text, Dt_Format, &d, &hours, &minutes, &secs) < 0) return 0;
    days = static_cast<uint32_t>(d);
  } else {
    const char *cursor = text;
    bool percent = false;
    for (const char *p = format; *p != '\0'; ++p) {
      if (!percent) {
        if (*p == '%') {
          percent = true;
        } else if (*cursor == *p) {
          ++cursor;
        } else {
          return 0;
        }
        continue;
      }
      percent = false;
      uint32_t value = 0;
      switch (*p) {
        case '%':
          if (*cursor != '%') return 0;
          ++cursor;
          break;
        case 'j':
          if (!pad_a2i(&cursor, &value, 4) || value > 9999) return 0;
          days = value;
          break;
        case 'H':
          if (!pad_a2i(&cursor, &value, 2) || value > 23) return 0;
          hours = static_cast<uint16_t>(value);
          break;
        case 'M':
        case 'S':
          if (!pad_a2i(&cursor, &value, 2) || value > 59) return 0;
          (*p == 'M' ? minutes : secs) = static_cast<uint16_t>(value);
          break;
        default:
          if (cursor[0] != '%' || cursor[1] != *p) return 0;
          cursor += 2;
          break;
      }
    }
    if (percent && *cursor != '%') return 0;
  }
  uint32_t total = ((days * 24 + hours) * 60 + minutes) * 60 + secs;
  *seconds = static_cast<int32_t>(total);
  return 1;
}

int std_y2_to_y4(int year) {
  if (year < 0 || year > 99) return 0;
  return year < 69 ? 2000 + year : 1900 + year;
}
