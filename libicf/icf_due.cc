// The backlog of a file, measured against its grid instead of its entries.

#include <cstring>
#include <ctime>

#include "icf_internal.h"
#include "libicf.h"
#include "libstd.h"

namespace {

// The step-by-step count takes at most this many steps; past them the rest
// of the pause is counted by whole periods. Only a zone the fast walk cannot
// read (one that counts leap seconds) or a date past 9999 gets here.
constexpr int64_t Most_Steps = 1000000;

// A stamp as a number that orders like the time it names (the century from
// the key's pivot year), or -1 when it is not twelve digits.
inline int64_t stamp_order(const char *stamp) {
  uint64_t a;
  uint32_t b;
  // Joined into two numbers, of the first eight digits and of the last
  // four: each stamp of a file costs this.
  if (!icf_twelve_digit_words(stamp, &a, &b)) return -1;
  a = (a * 10 + (a >> 8)) & 0x00ff00ff00ff00ffu;
  const int64_t year = static_cast<int64_t>(a & 0xff);
  a = (a * 100 + (a >> 16)) & 0x0000ffff0000ffffu;
  a = (a * 10000 + (a >> 32)) & 0xffffffffu;
  b = (b * 10 + (b >> 8)) & 0x00ff00ffu;
  b = (b * 100 + (b >> 16)) & 0xffffu;
  const int64_t n = static_cast<int64_t>(a) * 10000 + b;
  return n + (year < 69 ? 100 : 0) * 10000000000;
}

// Whether `stamp` names a later time than `newest`, whose century from the
// pivot year is `century` (-1: none yet), ordered as stamp_order orders
// them; *order gets the century of the later one. Twelve digits compare as
// their bytes do, which spares a survey of every stamp of a file the
// conversion.
inline bool later_stamp(const char *stamp, int64_t century,
                        const char (&newest)[13], int64_t *order) {
  uint64_t a, had;
  uint32_t b, had_end;
  std::memcpy(&a, stamp, 8);
  std::memcpy(&b, stamp + 8, 4);
  const uint64_t da = a - 0x3030303030303030u;
  const uint32_t db = b - 0x30303030u;
  if (((da | (da + 0x7676767676767676u)) & 0x8080808080808080u) != 0 ||
      ((db | (db + 0x76767676u)) & 0x80808080u) != 0 || stamp[12] != '\0')
    return false;
  const int64_t own = (da & 0xff) * 10 + (da >> 8 & 0xff) < 69 ? 1 : 0;
  if (own != century) {
    if (own < century) return false;
    *order = own;
    return true;
  }
  std::memcpy(&had, newest, 8);
  std::memcpy(&had_end, newest + 8, 4);
  a = __builtin_bswap64(a);
  had = __builtin_bswap64(had);
  return a != had ? a > had : __builtin_bswap32(b) > __builtin_bswap32(had_end);
}

// The intervals after the newest entry, which starts at `newest`, that
// have ended at `now`: *count, and *first the first of them.
void count_after(int32_t period, time_t newest, time_t now, int64_t *count,
                 time_t *first) {
  // The walk reads the grid from the newest entry and the period alone.
  IcfEntry entry{};
  entry.time = newest;
  IcfTable one{};
  one.period = period;
  one.capacity = 1;
  one.first = one.last = 0;
  one.entries = &entry;
  const IcfTable *table = &one;
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

// How many of the n entries, whose starts start(k) gives, have ended at
// `now`: a prefix, as the starts are sorted.
template <class Start>
int32_t ended(int32_t period, int32_t n, Start start, time_t now) {
  IcfTable grid{};
  grid.period = period;
  int32_t low = 0, high = n;
  while (low < high) {
    const int32_t mid = low + (high - low) / 2;
    if (icf_interval_end(&grid, start(mid)) <= now)
      low = mid + 1;
    else
      high = mid;
  }
  return low;
}

// The measure from what both ways gather: the pending entries among the
// ended ones (how many, the start of the oldest), the newest stamp and the
// newest entry's start.
void finish(int32_t period, int64_t intervals, time_t oldest, const char *stamp,
            time_t newest, time_t now, IcfDue *due) {
  due->intervals = intervals;
  due->oldest_start = intervals > 0 ? oldest : -1;
  time_t t;
  if (stamp != nullptr && icf_cnv_time(stamp, &t) == nullptr)
    due->last_change = t;
  int64_t later;
  time_t first_later;
  count_after(period, newest, now, &later, &first_later);
  if (due->intervals == 0 && later > 0) due->oldest_start = first_later;
  due->intervals += later;
  if (due->oldest_start >= 0) {
    IcfTable grid{};
    grid.period = period;
    due->oldest_end = icf_interval_end(&grid, due->oldest_start);
  }
}

}  // namespace

void icf_due(const IcfTable *table, time_t now, IcfDue *due) {
  *due = {0, -1, -1, -1};
  if (table->first < 0 || table->period < 1) return;
  const int32_t n = icf_count(table);
  const int32_t low = ended(
      table->period, n,
      [table](int32_t k) { return icf_entry_at(table, k)->time; }, now);
  int64_t newest_stamp = -1, intervals = 0;
  time_t oldest = -1;
  const char *stamp = nullptr;
  for (int32_t p = 0; p < n; ++p) {
    const IcfEntry &e = *icf_entry_at(table, p);
    if (p < low && icf_pending(e.status) && intervals++ == 0) oldest = e.time;
    if (const int64_t order = stamp_order(e.stamp); order > newest_stamp) {
      newest_stamp = order;
      stamp = e.stamp;
    }
  }
  finish(table->period, intervals, oldest, stamp,
         table->entries[table->last].time, now, due);
}

void icf_survey_init(IcfSurvey *survey, int32_t period, int32_t capacity) {
  std::memset(survey, 0, sizeof *survey);
  survey->period = period;
  survey->expected = capacity > 0 ? capacity : 0;
  survey->stamp_order = -1;
}

namespace {

// Room for one more pending place, grown by half at a time (there are few).
__attribute__((noinline)) bool pending_room(IcfSurvey *s) {
  if (s->pending_count < s->pending_room) return true;
  const uint64_t more =
      s->pending_room < 1024 ? 1024 : s->pending_room + s->pending_room / 2;
  if (more * sizeof(int32_t) > UINT32_MAX) return false;
  int32_t *bigger = static_cast<int32_t *>(std_realloc(
      nullptr, s->pending, static_cast<uint32_t>(more * sizeof(int32_t))));
  if (bigger == nullptr) return false;
  s->pending = bigger;
  s->pending_room = static_cast<uint32_t>(more);
  return true;
}

// Room for one more run, grown by half at a time (there are few).
__attribute__((noinline)) bool runs_room(IcfSurvey *s) {
  const uint64_t more =
      s->runs_room < 64 ? 64 : s->runs_room + s->runs_room / 2;
  if (more * sizeof(IcfSurveyRun) > UINT32_MAX) return false;
  IcfSurveyRun *bigger = static_cast<IcfSurveyRun *>(std_realloc(
      nullptr, s->runs, static_cast<uint32_t>(more * sizeof(IcfSurveyRun))));
  if (bigger == nullptr) return false;
  s->runs = bigger;
  s->runs_room = static_cast<uint32_t>(more);
  return true;
}

// The start of entry k, from the run that holds it.
time_t start_of(const IcfSurvey *s, int64_t k) {
  uint32_t low = 0, high = s->runs_count;
  while (high - low > 1) {
    const uint32_t mid = low + (high - low) / 2;
    if (s->runs[mid].index <= k)
      low = mid;
    else
      high = mid;
  }
  const IcfSurveyRun &r = s->runs[low];
  return r.first + (k - r.index) * r.step;
}

}  // namespace

int icf_survey_add(IcfSurvey *s, time_t time, int status, const char *stamp) {
  // The rooms are made apart, rarely, so that an entry costs its stores.
  // A start that goes on its run costs a comparison; the second of a run
  // gives its step.
  IcfSurveyRun *run = s->runs_count > 0 ? &s->runs[s->runs_count - 1] : nullptr;
  const int64_t in_run = run != nullptr ? s->count - run->index : 0;
  const bool goes_on = run != nullptr &&
                       (in_run == 1 || time == run->first + in_run * run->step);
  if (s->failed ||
      (!goes_on && s->runs_count >= s->runs_room && !runs_room(s)) ||
      (icf_pending(status) && s->pending_count >= s->pending_room &&
       !pending_room(s))) {
    s->failed = 1;
    return 0;
  }
  if (icf_pending(status))
    s->pending[s->pending_count++] = static_cast<int32_t>(s->count);
  if (!goes_on)
    s->runs[s->runs_count++] = {time, 0, s->count};
  else if (in_run == 1)
    s->runs[s->runs_count - 1].step = time - run->first;
  ++s->count;
  if (later_stamp(stamp, s->stamp_order, s->stamp, &s->stamp_order))
    std::memcpy(s->stamp, stamp, sizeof s->stamp);
  return 1;
}

void icf_survey_due(const IcfSurvey *s, time_t now, IcfDue *due) {
  *due = {0, -1, -1, -1};
  if (s->count == 0 || s->failed || s->period < 1) return;
  const int32_t low = ended(
      s->period, static_cast<int32_t>(s->count),
      [s](int32_t k) { return start_of(s, k); }, now);
  // The pending places are in order: those of ended entries come first.
  int64_t intervals = 0;
  while (intervals < s->pending_count && s->pending[intervals] < low)
    ++intervals;
  finish(s->period, intervals, intervals > 0 ? start_of(s, s->pending[0]) : -1,
         s->stamp_order >= 0 ? s->stamp : nullptr, start_of(s, s->count - 1),
         now, due);
}

void icf_survey_free(IcfSurvey *s) {
  std_free(nullptr, s->runs);
  std_free(nullptr, s->pending);
  icf_survey_init(s, s->period, s->expected);
}
