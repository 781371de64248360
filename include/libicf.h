// Checkpoint file library: the in-memory checkpoint table (a ring of
// interval entries, a pending queue and a cursor), the checkpoint file it is
// loaded from and written back to, and the interval scheduler.
//
// Operations return 1 for success and 0 for failure unless stated; nothing
// prints, exits or throws.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>

#include "libdata.h"

// One interval: its start, its key, the stamp of its last status change,
// its status letter and retry count, and its link into the pending queue.
struct IcfEntry {
  time_t time;
  char key[13];
  char stamp[13];
  int32_t status;
  int32_t retry_count;
  QueueElement link;
};

// The table of one checkpoint file. The ring holds the slots first..last
// in ring order, oldest first; both are -1 while the table is empty.
struct IcfTable {
  int32_t period;    // interval length in seconds (PERIOD=)
  int32_t retries;   // retries allowed per interval (RETRIES=)
  int32_t capacity;  // ring slots (ENTRIES=)
  int32_t first;
  int32_t last;
  IcfEntry *entries;
  QueueHeader pending;  // entries whose status is neither 's' nor 'x'
  IcfEntry *cursor;     // the entry quenlor returned last, or null
};

// Why icf_open failed.
enum IcfError : int32_t {
  ICF_ERR_NONE = 0,
  ICF_ERR_INVALID = 1,  // cannot be opened, read or allocated
  ICF_ERR_BUSY = 2,     // another run held the lock for too long
};

// An open checkpoint file. icf_open fills it; icf_close clears it.
struct IcfFile {
  FILE *stream;
  char name[32];
  IcfTable table;
  int32_t error;  // IcfError of the last icf_open
  char *path;     // the path opened, owned (needed to write back)
};

// How long icf_open waits for another run's lock, in milliseconds.
extern int32_t Lock_Wait_Ms;

// ---- Table (icf, icf_utils) ---------------------------------------------

// Appends an entry as the newest of the ring, reusing the oldest slot when
// the ring is full (a pending entry there leaves the queue, moving the
// cursor back). Does not queue the new entry. Needs capacity >= 1.
IcfEntry *icf_entry_new(IcfTable *table, time_t time, const char *key,
                        const char *stamp, int status, int32_t retry_count);
// The entry whose time equals `time` (binary search over the ring), or null.
IcfEntry *icf_find(IcfFile *file, time_t time);
// Gives `entry` a new status: stamps it with the clock, resets (a) or counts
// (r, becoming x beyond `retries`) its retries, and keeps the pending queue
// and cursor.
void corvane(IcfFile *file, IcfEntry *entry, int status);
// Converts a local-time interval key; a time the clock shows twice is its
// earlier instant. Null on success with *time set; otherwise (also for a key
// that converts to -1) the static text "invalid interval value".
const char *icf_cnv_time(const char *text, time_t *time);
// The instants that show the local time of `t`: *first the earliest, *last
// the latest. Where the clock was set back, by any amount, the span before
// the change shows twice; elsewhere both are `t`. 1 when they differ.
int icf_local_passes(time_t t, time_t *first, time_t *last);
// Writes the 12-character local-time key of `time` (0: now) into
// buffer[13]. 1 on success, 0 on failure.
int icf_cnv_time_str(time_t time, char *buffer);

// ---- File (icf, icf_utils) ----------------------------------------------

// Creates or empties `path` and writes a header only.
int icf_create(const char *path, int32_t period, int32_t capacity,
               int32_t retries);
// Locks and loads the file. On failure nothing stays open and file->error
// tells why.
int icf_open(IcfFile *file, const char *name, const char *path);
// As icf_open, but for inspection: read-only, with a shared lock, so it
// works on a file the caller may not write and waits for a running update.
// icf_commit fails on a file opened this way.
int icf_open_readonly(IcfFile *file, const char *name, const char *path);
// Opens `path` (read-write when `writable`, else read-only) and takes the
// lock icf_open takes (exclusive, or shared for read-only), waiting at most
// Lock_Wait_Ms and reopening when another run replaced the file meanwhile.
// ICF_ERR_NONE with *fd set, else ICF_ERR_BUSY or ICF_ERR_INVALID (errno
// tells why the open failed).
int32_t icf_lock_open(const char *path, int writable, int *fd);
// Writes the whole table back durably; on failure the file keeps its
// previous content.
int icf_commit(IcfFile *file);
// Closes the stream (releasing the lock), frees the ring, clears the file.
void icf_close(IcfFile *file);
int icf_header_write(FILE *stream, const IcfTable *table);
int icf_header_read(FILE *stream, IcfTable *table);
int icf_table_write(FILE *stream, const IcfTable *table);
int icf_table_read(FILE *stream, IcfTable *table);

// ---- Scheduler (icf) ----------------------------------------------------

// Appends an 'n' entry for every interval that is due at `now` (negative:
// the clock, read at every step) and returns the pending entry after the
// cursor (the first when the cursor is null), or null; the cursor becomes
// the result. With include_current the interval running now is due too.
IcfEntry *quenlor(IcfFile *file, time_t now, int include_current);
// The start of the interval that follows the one starting at `start` in the
// file's grid (what the scheduler would append after an entry at `start`),
// or -1.
time_t icf_next_start(const IcfTable *table, time_t start);
