// What the files of the checkpoint library share beyond libicf.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "libicf.h"

// What tests turn to reach the paths a real run seldom takes.
struct IcfKnobs {
  int32_t lock_wait_ms;  // how long icf_open waits for another run's lock
  size_t read_chunk;     // the most bytes one read asks for while icf_open
                         // loads a file (small: the reads' boundaries move)
  int fast_catch_up;     // 0: icf_catch_up leaves all to the step-by-step walk
};
extern IcfKnobs Icf_Knobs;

// What one scheduler step hands to the next within a quenlor call.
struct SchedulerState {
  int skip;            // the step's interval is the second pass of a span
                       // that the clock repeats: it gets no entry
  time_t saved_start;  // that interval's start, where the next step goes on
};

// How a walk reads the zone: the local wall-clock time of an instant, as
// seconds counted like UTC seconds since the epoch (so that its time of day
// is the remainder by 86400). False when it cannot be read.
struct IcfZone {
  bool (*wall)(const void *context, time_t t, time_t *wall);
  const void *context;
};
// The process's zone, through localtime.
extern const IcfZone Icf_Local_Zone;

constexpr time_t ICF_HOUR = 3600;
constexpr time_t ICF_DAY = 86400;

// a modulo b (b > 0) in 0 .. b - 1, for times before 1970 too.
inline time_t floor_mod(time_t a, time_t b) {
  const time_t r = a % b;
  return r < 0 ? r + b : r;
}

// The latest start that is due at `now` (a time, not the clock): an
// interval is due a period after its start, or with include_current as soon
// as it has begun.
inline time_t icf_due_limit(const IcfTable *table, time_t now,
                            int include_current) {
  return include_current ? now : now - table->period;
}

// Takes `entry` out of the pending queue (if it is there), moving the
// cursor back to the pending entry before it (null when it was the first):
// the next scheduler call then returns the entry that followed it.
void icf_leave_pending(IcfTable *table, IcfEntry *entry);
// Gives up the ring's next slot for a new newest entry and returns it: the
// oldest entry, when the ring was full, leaves the pending queue, and is
// counted as dropped while pending when `count_dropped`. The slot's fields
// are left as they were; a slot the ring has not reached yet is not even
// read (sparing its page a second fault: the read would map the shared
// zero page, the write then copy it).
IcfEntry *icf_ring_take(IcfTable *table, bool count_dropped);

// How far from an instant a repeated local time is looked for, in seconds.
constexpr time_t ICF_LOOK_AROUND = 26 * 3600;

// Corrects a start computed from the base's time plus the period (from the
// reference's hour for an empty table) across clock changes: hourly and
// longer periods stay on their hours and days, and a start in the second
// pass of a repeated span moves past it, by the size of the change. Shorter
// periods are not moved: *skip tells that the start is such a second pass,
// to get no entry. 0 when the zone cannot be read.
int icf_correct_start(const IcfZone *zone, time_t *start, int32_t period,
                      int empty, int *skip);

// One step of the walk of a table that is not empty: *start follows `base`,
// corrected; *skip as for icf_correct_start. 0 when it cannot be computed.
int icf_step_after(const IcfZone *zone, time_t base, int32_t period,
                   time_t *start, int *skip);

enum IcfCatchUp : int {
  ICF_CATCH_UP_WALK = 0,     // the step-by-step walk must go on
  ICF_CATCH_UP_CURRENT = 1,  // nothing more is due at the time used
};

// Appends to a table that is not empty exactly the 'n' entries that the
// step-by-step walk from the newest entry would append, with the same ring
// slots, pending order and cursor, but at the cost of the ring rather than of
// the pause: only the newest `capacity` intervals are made, and away from
// clock changes the walk is advanced by whole days at a time. Leaves the
// table untouched where it cannot vouch for the result. A negative `now` is
// the clock, read once here.
IcfCatchUp icf_catch_up(IcfTable *table, time_t now, int include_current);

// The interval key of the wall-clock time `wall` (a time plus its zone's
// offset), as icf_cnv_time_str makes it from localtime: yymmddhhmmss. The
// catch-up's own writer, by arithmetic rather than the zone's conversion.
void icf_wall_key(time_t wall, char *key);

// The newest starts icf_walk_starts hands back.
constexpr int32_t ICF_WALK_TAIL = 4;

// Counts, without touching the table, the starts that the walk from the
// newest entry (the table is not empty) would append up to `limit`, and puts
// the last of them, at most ICF_WALK_TAIL and oldest first, into `tail`. At
// the cost of icf_catch_up, whatever the pause. 0 where icf_catch_up could
// not vouch for the result: the step-by-step walk must count.
int icf_walk_starts(const IcfTable *table, time_t limit, int64_t *count,
                    time_t *tail);

// The six two-digit fields of a text of exactly twelve digits (a key or a
// stamp as the programs write them) into v; false for any other text.
inline bool icf_twelve_digits(const char *text, int *v) {
  uint64_t a;
  uint32_t b;
  if (!icf_twelve_digit_words(text, &a, &b)) return false;
  // Neighbouring digits into one byte: the first times ten plus the next.
  const uint64_t pa = (a * 10 + (a >> 8)) & 0x00ff00ff00ff00ffu;
  const uint32_t pb = (b * 10 + (b >> 8)) & 0x00ff00ffu;
  v[0] = int(pa & 0xff);
  v[1] = int(pa >> 16 & 0xff);
  v[2] = int(pa >> 32 & 0xff);
  v[3] = int(pa >> 48 & 0xff);
  v[4] = int(pb & 0xff);
  v[5] = int(pb >> 16 & 0xff);
  return true;
}

// Zero-filled memory for large arrays: from 2 MiB on mapped in huge pages,
// which spares the kernel a fault per 4 KiB page. Null when there is none;
// free it with icf_pages_free and the same size.
void *icf_pages_new(size_t bytes);
void icf_pages_free(void *pages, size_t bytes);

// ---- Rendering (icf_utils) ----------------------------------------------

// The least room icf_render_next needs: one header or entry line.
constexpr size_t ICF_RENDER_MIN = 96;
// The buffer a save renders into and writes from, again and again.
constexpr size_t ICF_RENDER_CHUNK = 64 * 1024;

// A table's text produced piece by piece, in whole lines.
struct IcfRender {
  const IcfTable *table;
  int32_t next;   // entries rendered so far; -1 while the header is due
  int32_t count;  // entries in all
};
// From the start of the text; without the header unless `header`.
void icf_render_start(IcfRender *render, const IcfTable *table, int header);
// The next whole lines into `buffer` (capacity at least ICF_RENDER_MIN):
// their length, 0 once the text is done.
size_t icf_render_next(IcfRender *render, char *buffer, size_t capacity);
// The exact length of the text icf_render_next produces, header included.
uint64_t icf_text_length(const IcfTable *table);
// The header's lines, or one entry's line, into `buffer` (room for
// ICF_RENDER_MIN bytes): their length.
size_t icf_render_header(const IcfTable *table, char *buffer);
size_t icf_render_entry(const IcfEntry *entry, char *buffer);

// ---- The kept text (icf_kept) -------------------------------------------

// Notes that `entry` changed in place, for the next save of a kept text.
inline void icf_note_touched(IcfTable *table, const IcfEntry *entry) {
  int32_t &n = table->touched_count;
  if (n < ICF_TOUCHED)
    table->touched[n] = static_cast<int32_t>(entry - table->entries);
  if (n <= ICF_TOUCHED) n++;
}
// Makes the kept text the table's text, changing only what changed since
// it was last made; false (the kept text dropped) when it cannot, and the
// save then renders the text as without icf_keep.
bool icf_kept_prepare(IcfFile *file);
// Whether the kept text is the table's as icf_kept_prepare left it.
bool icf_kept_ready(const IcfKept *kept);
// The kept text's length, header included.
uint64_t icf_kept_length(const IcfKept *kept);
// Writes the kept text from offset 0 on, without its first byte when
// `hold_first`. False when a write failed.
bool icf_kept_write(const IcfKept *kept, int fd, bool hold_first);
// After a save: notes the saved file open as `fd`, giving it a
// modification time no later write can give it where that can be set, and
// otherwise the hash of the text.
void icf_kept_saved(IcfFile *file, int fd);
// The kept text no longer tells what the file holds: a failed save, a
// table taken from elsewhere.
void icf_kept_lost(IcfKept *kept);
enum IcfKeptMatch { ICF_KEPT_OTHER, ICF_KEPT_SAME, ICF_KEPT_HASH };
// What the file open as `fd` is to the last save: another text, the one
// saved (the same inode, size and modification time), or one with the
// same inode, size and time whose bytes must be compared with the hash
// (*hash) as the time could not be set. The table must not have changed
// since that save.
IcfKeptMatch icf_kept_match(const IcfFile *file, int fd, const IcfHash **hash);
// As a load would give the table after icf_reopen found the file holding
// its own text: only the entries changed or appended since the load or the
// last reopen are looked at; false when they are too many to tell.
bool icf_kept_as_read(IcfFile *file);
void icf_kept_free(IcfKept *kept);

// Counts `count` pending intervals pushed out of the ring, the oldest at
// `first` and the newest at `last`, after those counted before.
void icf_note_dropped(IcfTable *table, int64_t count, time_t first,
                      const char *first_key, time_t last, const char *last_key);

// Puts every pending entry of the ring (status neither 's' nor 'x') into a
// fresh pending queue in ring order, which is file order, as a load does.
void icf_queue_rebuild(IcfTable *table);

// ---- The zone's data (icf_zone_data) ------------------------------------

// A change of a zone's rule: day `day` of the year counted from 1 without
// 29 February ('J') or from 0 with it ('N'), or weekday `day` (0 Sunday) of
// week `week` (5: the last) of month `month` ('M'); at `secs` of local time.
struct IcfZoneRule {
  char kind;
  int32_t month, week, day;
  time_t secs;
};

// What the C library's zone data tells of the process's zone: the file's
// transitions, and the rule that holds after them (or always, for a TZ
// that is itself a rule). Offsets in seconds east of UTC.
struct IcfZoneData {
  int64_t *times;  // ascending, from std_malloc
  int32_t count;
  int rule;  // the rule below holds after the last transition
  time_t std_offset, dst_offset;
  IcfZoneRule change[2];  // into summer time and out of it
};

// An instant at which the offset may change. When `expect` is set the data
// says that it changes there from `before` to `after`: a zone read otherwise
// is not the one the data describes.
struct IcfCandidate {
  time_t at;
  int expect;
  time_t before, after;
};

// Reads the data of the zone TZ names; 0 when it is not plainly understood.
int icf_zone_data_load(IcfZoneData *data);
void icf_zone_data_free(IcfZoneData *data);
// The first candidate after t: between two candidates the offset holds. 0
// when the offset never changes after t, -1 when the data cannot tell.
int icf_zone_next(const IcfZoneData *data, time_t t, IcfCandidate *next);
