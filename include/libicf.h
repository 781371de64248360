// Checkpoint file library: the in-memory checkpoint table (a ring of
// interval entries, a pending queue and a cursor), the checkpoint file it is
// loaded from and written back to, and the interval scheduler.
//
// Operations return 1 for success and 0 for failure unless stated; nothing
// prints, exits or throws.
#pragma once

#include <cstddef>
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

// Pending intervals that appends pushed out of a full ring before they were
// processed (an outage longer than ENTRIES periods): how many, and the
// oldest and newest of them.
struct IcfDropped {
  int64_t count;
  time_t first, last;
  char first_key[13], last_key[13];
};

// The entries changed in place whose slots a table notes (IcfTable::touched).
constexpr int32_t ICF_TOUCHED = 64;

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
  IcfDropped dropped;   // since the load; the caller may clear it
  // What a save that keeps its text (icf_keep) needs to write only what
  // changed: the entries the ring has taken in all, and the slots of those
  // that corvane changed since the load or icf_reopen (counting on past
  // ICF_TOUCHED to one more, where the slots are no longer noted).
  int64_t appended;
  int32_t touched_count;
  int32_t touched[ICF_TOUCHED];
};

// Why a file could not be opened or loaded.
enum IcfFault : int32_t {
  ICF_FAULT_NONE = 0,
  ICF_FAULT_BUSY = 1,         // another run held the lock for too long
                              // (or the give-up hook ended the wait)
  ICF_FAULT_NOT_REGULAR = 2,  // a FIFO, device or directory: never read
  ICF_FAULT_FORMAT = 3,       // the text: read_fault at line
  ICF_FAULT_ALLOC = 4,        // the ring
  ICF_FAULT_SYSTEM = 5,       // a system call: error is its errno
};

// A failed open or load, whole: what the programs word their message from.
struct IcfFailure {
  IcfFault fault;
  int32_t read_fault;  // ICF_FAULT_FORMAT: the IcfReadFault
  int32_t line;        // ICF_FAULT_FORMAT: where the reading stopped
  int32_t error;       // ICF_FAULT_SYSTEM: the errno
};

// The largest ENTRIES= taken: a ring this size needs under 100 MB, so it can
// be allocated on any machine that runs the jobs.
constexpr int32_t ICF_MAX_ENTRIES = 1000000;

// The first byte of a file whose in-place rewrite is under way (in place of
// the 'P' of PERIOD=). A run killed meanwhile leaves it; the reader refuses
// such a text until someone has looked at it and put the 'P' back.
constexpr char ICF_SAVE_MARK = '~';

// ---- Hash (icf_hash) -----------------------------------------------------

// An incremental 64-bit hash of a byte string: the same value however the
// bytes are cut into pieces. A cleared IcfHash is the empty string's.
struct IcfHash {
  uint64_t state[4];
  uint64_t size;  // bytes added so far
  unsigned char tail[32];
};

void icf_hash_add(IcfHash *hash, const char *data, size_t size);
uint64_t icf_hash_value(const IcfHash *hash);

// What icf_keep keeps between saves (icf_kept.cc).
struct IcfKept;

// An open checkpoint file. icf_open fills it; icf_close clears it.
struct IcfFile {
  FILE *stream;
  char name[32];
  IcfTable table;
  IcfFailure failure;  // why the last icf_open or icf_reopen failed
  char *path;          // the file's own path (symbolic links followed), owned
  IcfHash saved;       // the text the last successful icf_commit wrote
  IcfKept *kept;       // owned; null unless icf_keep
};

// ---- Table (icf, icf_utils, icf_clock) ----------------------------------

// Whether an entry with this status letter still needs processing: every
// letter but 's' and 'x'; pending entries are those in the pending queue.
inline bool icf_pending(int status) { return status != 's' && status != 'x'; }
// The number of entries in the ring.
int32_t icf_count(const IcfTable *table);
// The k-th oldest entry of the ring, k from 0 to icf_count - 1.
inline IcfEntry *icf_entry_at(const IcfTable *table, int32_t k) {
  // first and k are below the capacity, so one subtraction wraps the slot:
  // a walk over the whole ring needs no division per entry.
  const int32_t slot = table->first + k;
  const int32_t capacity = table->capacity;
  return &table->entries[slot < capacity ? slot : slot - capacity];
}
// The end of the interval that starts at `start`: the start of the one
// after it in the file's grid, which is later than start + PERIOD after
// the hour the clock repeats.
time_t icf_interval_end(const IcfTable *table, time_t start);
// Appends an entry as the newest of the ring, reusing the oldest slot when
// the ring is full (a pending entry there leaves the queue, moving the
// cursor back, and counts in table->dropped). Does not queue the new entry.
// Needs capacity >= 1.
IcfEntry *icf_entry_new(IcfTable *table, time_t time, const char *key,
                        const char *stamp, int status, int32_t retry_count);
// The entry whose time equals `time` (binary search over the ring), or null.
IcfEntry *icf_find(IcfFile *file, time_t time);
// Gives `entry` a new status: stamps it with the clock, resets (a) or counts
// (r, becoming x beyond `retries`) its retries, and keeps the pending queue
// and cursor.
void corvane(IcfFile *file, IcfEntry *entry, int status);
// A zero-filled ring of `capacity` entries (1 to ICF_MAX_ENTRIES), or null.
// A large ring is mapped in huge pages, which spares the kernel a fault per
// 4 KiB page: free it with icf_ring_free and the same capacity.
IcfEntry *icf_ring_new(int32_t capacity);
void icf_ring_free(IcfEntry *entries, int32_t capacity);
// Converts a local-time interval key; a time the clock shows twice is its
// earlier instant. Null on success with *time set; otherwise (also for a key
// that converts to -1) the static text "invalid interval value".
const char *icf_cnv_time(const char *text, time_t *time);
// As icf_cnv_time, for a key given on a command line, where a typo must not
// name a neighbour: fields given out of their calendar range (month 1-12,
// day of that month, hour 0-23, minute and second 0-59) and a local time
// the clock skips fail too. A short key and a text whose first field cannot
// be read (the current time) convert as before.
const char *icf_cnv_key(const char *text, time_t *time);
// The instants that show the local time of `t`: *first the earliest, *last
// the latest. Where the clock was set back, by any amount, the span before
// the change shows twice; elsewhere both are `t`. 1 when they differ.
int icf_local_passes(time_t t, time_t *first, time_t *last);
// Writes the 12-character local-time key of `time` (0: now) into
// buffer[13]. 1 on success, 0 on failure.
int icf_cnv_time_str(time_t time, char *buffer);
// As icf_cnv_time_str, but the key of `time` itself, 0 (the epoch) too:
// the key an entry for an interval starting at `time` carries.
int icf_key_text(time_t time, char *buffer);

// ---- File (icf, icf_reopen, icf_adopt) ----------------------------------

// The path of the file `path` names, symbolic links followed, as icf_open
// resolves it (a relative path stays relative, so no PATH_MAX limits it),
// in a buffer from std_malloc; null with errno set on failure.
char *icf_resolve_path(const char *path);
// "<path><suffix>" with the file name cut so that it stays within NAME_MAX
// wherever the name itself fits, in a buffer from std_malloc, or null.
char *icf_sibling_path(const char *path, const char *suffix);

// Creates or empties `path` and writes a header only. Refuses values the
// programs would not open (PERIOD or ENTRIES below 1, ENTRIES above
// ICF_MAX_ENTRIES) and anything but a regular file.
int icf_create(const char *path, int32_t period, int32_t capacity,
               int32_t retries);
// As icf_create, and with `start` 0 or more the file's first interval: an
// 'n' entry for the interval starting there, stamped with the clock.
int icf_create_from(const char *path, int32_t period, int32_t capacity,
                    int32_t retries, time_t start);
// Locks and loads the file. On failure nothing stays open and
// file->failure tells why. Only a regular file (or a symbolic link to one)
// is opened, and without blocking on a FIFO.
int icf_open(IcfFile *file, const char *name, const char *path);
// As icf_open, but for inspection: read-only, with a shared lock, so it
// works on a file the caller may not write and waits for a running update.
// icf_commit fails on a file opened this way.
int icf_open_readonly(IcfFile *file, const char *name, const char *path);
// For a repair of a file the programs refuse (one that a cut-short save
// marked): locks and opens `path` for writing as icf_open does, whatever
// it holds, without reading it: the table is empty and the stream at the
// start of the text. icf_adopt then gives it the table that icf_commit
// saves. 0 with file->failure set.
int icf_open_unread(IcfFile *file, const char *name, const char *path);
// Reads `path` for a look at it, in one read under the shared lock that is
// let go again, so that the caller can take its time over the text (print
// it at the pace of a pipe) without holding up the runs: the file's bytes,
// *size of them, in a buffer for the caller to free with icf_inspect_free.
// Nothing is parsed. 0 with *failure set (ICF_FAULT_BUSY,
// ICF_FAULT_NOT_REGULAR, ICF_FAULT_ALLOC or ICF_FAULT_SYSTEM).
int icf_inspect(const char *path, char **text, size_t *size,
                IcfFailure *failure);
void icf_inspect_free(char *text, size_t size);
// A look at a file piece by piece under the shared lock, held until
// icf_look_close (or icf_look_copy): for a reader that takes the records as
// they come and meanwhile prints nothing, or only to an output that never
// waits, so that a large file costs its reading and no copy of its text
// (icf_inspect is for those that print at a pipe's pace).
constexpr size_t ICF_LOOK_BUFFER = 64 * 1024;
struct IcfReader;
struct IcfLook {
  int fd;           // the file, locked
  int32_t marked;   // its first byte is ICF_SAVE_MARK
  int32_t unmark;   // set by the caller: that byte reads as the 'P'
  int32_t error;    // the errno of a read that failed: the text ends there
  uint64_t offset;  // of the next byte to read from the file
  char buffer[ICF_LOOK_BUFFER];
};
// Opens and locks `path` as icf_inspect does; 0 with *failure set.
int icf_look_open(IcfLook *look, const char *path, IcfFailure *failure);
// Starts `reader` over the file at byte `offset`, counting lines from
// `line` (the start of the file: 0 and 1); the reader stays valid until
// the next icf_look_read or icf_look_close.
void icf_look_read(IcfLook *look, IcfReader *reader, uint64_t offset,
                   int32_t line);
// Where in the file the reader of the look is.
uint64_t icf_look_offset(const IcfLook *look, const IcfReader *reader);
// The whole file read under the lock, which is then let go (the look is
// closed), in a buffer to free with icf_inspect_free: for a reader that
// finds it must wait for its output after all. 0 with errno set, the look
// still open.
int icf_look_copy(IcfLook *look, char **text, size_t *size);
void icf_look_close(IcfLook *look);
// Releases the lock (closing the file) but keeps the table, so that a
// reader can print at the pace of its output without holding up the runs.
// icf_commit fails afterwards; icf_close is still needed.
void icf_release(IcfFile *file);
// For a process that saves the same open file again and again, letting it
// go in between (icf_release, icf_reopen): from the next icf_commit on, the
// text written is kept, and each save after it changes only the lines of
// what changed (the entries corvane changed, the ring's new and dropped
// ones) and writes from that text; the save also leaves the file a
// modification time that no later write can give it (a nanosecond before
// the time its own write gave it), so that icf_reopen knows the file by
// its inode, size and that time instead of reading it. Call it after
// icf_open; the table must then change only through this library's
// functions. Without memory for it the saves go on as before.
void icf_keep(IcfFile *file);
// Takes the lock of a file let go by icf_release again, as icf_open takes
// it on the same path. When the file holds exactly the text the last
// icf_commit wrote (for a file kept by icf_keep, the same inode, size and
// modification time, or where the time could not be set the same hash as
// for any other file: its size and IcfFile::saved hash), the table is kept,
// as a load of that text would give it (pending queue in file order,
// cursor cleared); otherwise (another program wrote the file meanwhile, or
// nothing was committed) the file is loaded afresh as by icf_open. The
// table must not have changed since that commit. 1 when the table was
// kept, 2 when the file was loaded; 0 with the file closed and its failure
// set as icf_open sets it.
int icf_reopen(IcfFile *file);
// Opens `path` (read-write when `writable`, else read-only) and takes the
// lock icf_open takes (exclusive, or shared for read-only), waiting at most
// the lock wait (IcfKnobs) and reopening when another run replaced the file
// meanwhile. ICF_FAULT_NONE with *fd set, else ICF_FAULT_BUSY,
// ICF_FAULT_NOT_REGULAR or ICF_FAULT_SYSTEM (errno tells why).
IcfFault icf_lock_open(const char *path, int writable, int *fd);
// While icf_open, icf_reopen, icf_lock_open or icf_create wait for another
// run's lock, `give_up(context)` is asked between tries (about every 15 ms);
// nonzero ends the wait with ICF_FAULT_BUSY at once. Null, as at the start:
// the whole lock wait.
void icf_lock_give_up(int (*give_up)(void *context), void *context);
// Writes the whole table back durably, in one of two ways chosen before
// anything is written; all signals are held off while it writes.
//
// By rename, when a new file can take the old one's place whole (same
// owner, group and mode; the file not hard-linked): the text goes to a new
// file beside it, which is synced and renamed over the path. A run killed or
// a machine stopped at any moment leaves the old file or the new one. On
// failure the old file is untouched (a temporary file "<name>.XXXXXX" may
// stay behind after a kill). A directory that cannot be synced afterwards
// does not fail the save: the rename is done.
//
// In place otherwise, also when the rename is refused (a bind-mounted file,
// a sticky directory, a name with no room for a suffix): the space for the
// longer text is reserved first (a full disk or a file-size limit then
// fails with the old file untouched), the first byte becomes ICF_SAVE_MARK
// and is synced, the text after it is written and synced, then the 'P' is
// put back. A run killed before the mark leaves the old text (perhaps
// followed by reserved NUL bytes, which the reader ignores), after the 'P'
// the new one, and in between a file the reader refuses until a person has
// checked it (icftool check tells what it holds). A write error in between
// (an I/O error) leaves such a file too.
int icf_commit(IcfFile *file);
// Gives `file` the table of `from` (both open), whose old table is freed,
// so that the next icf_commit saves it; `from` is left closed. The cursor
// is cleared and the pending queue rebuilt in file order.
int icf_adopt(IcfFile *file, IcfFile *from);
// Closes the stream (releasing the lock), frees the ring, clears the file.
void icf_close(IcfFile *file);

// ---- Text (icf_utils) ---------------------------------------------------

// Why a text is not a checkpoint file (IcfReader::fault).
enum IcfReadFault : int32_t {
  ICF_READ_OK = 0,
  ICF_READ_INTERRUPTED = 1,   // starts with ICF_SAVE_MARK
  ICF_READ_HEADER = 2,        // not "PERIOD=", "ENTRIES=", "RETRIES=" numbers
  ICF_READ_HEADER_RANGE = 3,  // a header number does not fit 32 bits
  ICF_READ_PERIOD = 4,        // PERIOD below 1
  ICF_READ_ENTRIES = 5,       // ENTRIES below 1 or above ICF_MAX_ENTRIES
  ICF_READ_PARTIAL = 6,       // the text ends inside a record
  ICF_READ_NUL = 7,           // a NUL byte inside a key or stamp
  ICF_READ_TIME = 8,          // the time is not hexadecimal within 32 bits
  ICF_READ_COUNT = 9,         // the retry count is not a 32-bit decimal
  ICF_READ_ALLOC = 10,        // no memory for the ring
  ICF_READ_WORD = 11,         // a 12-byte key or stamp runs into a field
};

// Puts at most `room` further bytes of a text at `to`: their count, 0 at
// the end of the text, negative on failure (which ends it too).
using IcfReadFill = int64_t (*)(void *context, char *to, size_t room);

// A cursor over a checkpoint text in memory: a whole text, or a buffer that
// `fill` refills as the reading advances. Five white-space separated fields
// make a record whatever the line breaks; a key and a stamp are at most 12
// bytes (a longer word runs into the next field); NUL bytes (and white
// space) after the last whole record are space that was reserved and never
// written, and end the text.
struct IcfReader {
  const char *text;
  size_t size;
  size_t pos;
  int32_t line;        // of pos, from 1
  int32_t fault;       // IcfReadFault where the reading stopped
  int32_t fault_line;  // the line of the field that stopped it
  int32_t fields;      // ICF_READ_PARTIAL: fields of the last record read
  IcfReadFill fill;    // null for a whole text
  void *context;       // fill's
  char *buffer;        // of `capacity` bytes, which text points into
  size_t capacity;
  int32_t ended;  // fill has no more
};

// One record as read: the time is the hexadecimal column, not yet the key's
// time for an `a` line.
struct IcfRecord {
  char key[13];
  char stamp[13];
  uint32_t time;
  int32_t status;
  int32_t retry_count;
  int32_t line;  // where the key starts
};

void icf_reader_init(IcfReader *reader, const char *text, size_t size);
// A text that `fill` reads into `buffer` piece by piece; `capacity` is at
// least ICF_READ_MIN bytes, the most the reader looks ahead.
void icf_reader_init_fill(IcfReader *reader, char *buffer, size_t capacity,
                          IcfReadFill fill, void *context);
constexpr size_t ICF_READ_MIN = 64;
// The header's three numbers into period, capacity and retries, without
// judging them. 0 with reader->fault set when they cannot be read.
int icf_read_header(IcfReader *reader, IcfTable *table);
// The header numbers the programs open a file with (icf_text_read and
// icf_create judge by them): a PERIOD of at least 1 second, ENTRIES from 1
// to ICF_MAX_ENTRIES.
inline bool icf_period_valid(int32_t period) { return period >= 1; }
inline bool icf_entries_valid(int32_t capacity) {
  return capacity >= 1 && capacity <= ICF_MAX_ENTRIES;
}
// Whether `text` is exactly twelve decimal digits (a key or a stamp as the
// programs write them), read eight and four bytes at a time, each in
// memory order; *high and *low get those bytes less '0', for the caller to
// join into numbers. A text's thirteenth byte must be there to be read.
inline bool icf_twelve_digit_words(const char *text, uint64_t *high,
                                   uint32_t *low) {
  uint64_t a;
  uint32_t b;
  __builtin_memcpy(&a, text, 8);
  __builtin_memcpy(&b, text + 8, 4);
  // Each byte minus '0' must be at most 9: adding 0x76 then leaves its
  // high bit clear, as does the subtraction itself.
  a -= 0x3030303030303030u;
  b -= 0x30303030u;
  *high = a;
  *low = b;
  return ((a | (a + 0x7676767676767676u)) & 0x8080808080808080u) == 0 &&
         ((b | (b + 0x76767676u)) & 0x80808080u) == 0 && text[12] == '\0';
}
// The time a load gives a record: its hexadecimal column, but for an `a`
// line the time its key names (0 when it names none), as a person asks for
// an interval again by editing its key.
time_t icf_record_time(const IcfRecord *record);
// The next record: 1, or 0 at the end of the text (fault ICF_READ_OK) or
// where one cannot be read (fault set).
int icf_read_record(IcfReader *reader, IcfRecord *record);
// A whole text into an empty `table`: header, its sanity (PERIOD and
// ENTRIES), the ring's allocation, every record. 0 with reader->fault set;
// the caller frees table->entries either way.
int icf_text_read(IcfReader *reader, IcfTable *table);
// A short text for an IcfReadFault ("the file ends inside a record", ...).
const char *icf_read_reason(int32_t fault);

// The file's text for `table` into a buffer from std_malloc (the caller
// frees it), its length in *length; null when it cannot be allocated.
char *icf_text_render(const IcfTable *table, size_t *length);

// The same over a stdio stream: the readers take the rest of the stream.
int icf_header_write(FILE *stream, const IcfTable *table);
int icf_header_read(FILE *stream, IcfTable *table);
int icf_table_write(FILE *stream, const IcfTable *table);
int icf_table_read(FILE *stream, IcfTable *table);

// ---- Scheduler (icf, icf_clock, icf_catchup) ----------------------------

// Appends an 'n' entry for every interval that is due at `now` (negative:
// the clock, read at every step) and returns the pending entry after the
// cursor (the first when the cursor is null), or null; the cursor becomes
// the result. With include_current the interval running now is due too.
IcfEntry *quenlor(IcfFile *file, time_t now, int include_current);
// The start of the interval that follows the one starting at `start` in the
// file's grid (what the scheduler would append after an entry at `start`),
// or -1.
time_t icf_next_start(const IcfTable *table, time_t start);

// ---- Grid (icf_grid) -----------------------------------------------------

// The grid a new file starts on: it begins afresh at the first instant of
// every local hour (PERIOD under 3600) or local day (3600 and more), and its
// starts are that instant and the scheduler's steps from it that stay within
// the hour or day. A second pass of a repeated time is on no grid.
int icf_grid_member(int32_t period, time_t t);
// The start of the interval on that grid that ended last at `now` (its end,
// icf_interval_end of a table of `period`, at or before now), or -1 when
// none can be found (none ended after 1970).
time_t icf_grid_first(int32_t period, time_t now);
// The start of the interval of the table's grid, continued past its newest
// entry as the scheduler would append, that holds `t`: the newest entry's
// start or a later one; -1 for a t before the newest entry or an empty table.
time_t icf_grid_holding(const IcfTable *table, time_t t);

// ---- Monitoring (icf_due) -----------------------------------------------

// What a file is behind at a given time. An interval is due once it has
// ended (the next start of the grid has come) and is not done: a pending
// entry, or an interval after the newest entry that the next quenlor run
// would append. A job that stopped appends nothing, so its backlog is only
// seen from the grid.
struct IcfDue {
  int64_t intervals;    // due intervals, in the file or not yet appended
  time_t oldest_start;  // the oldest of them, or -1
  time_t oldest_end;    // where it ended, or -1
  time_t last_change;   // the newest update stamp's time, or -1
};
// Measures `table` at `now` without changing it, in one pass over the ring
// however long the job has stopped. An empty table is behind nothing: its
// grid starts with its first run.
void icf_due(const IcfTable *table, time_t now, IcfDue *due);

// The same measure taken from the entries as a pass over a file's text
// meets them, oldest first, without the ring (80 bytes an entry): what it
// keeps is each start (8 bytes) and the places of the pending entries.
// Give it the entries the table holds, the newest ENTRIES records.
// The starts as runs of equal steps: a file's entries are a period apart
// but across clock changes, so a few runs hold them all.
struct IcfSurveyRun {
  time_t first;   // the run's first start
  time_t step;    // from one start of the run to the next
  int64_t index;  // of its first entry among those given
};
struct IcfSurvey {
  int32_t period;
  int32_t failed;      // memory ran out: the measure cannot be taken
  int64_t count;       // entries given
  IcfSurveyRun *runs;  // runs_count of them, together the count starts
  int32_t *pending;    // pending_count places among the entries, oldest first
  int64_t pending_count;
  uint32_t runs_count, runs_room, pending_room;
  int32_t expected;     // entries the table holds at most
  int64_t stamp_order;  // the newest update stamp's century: 1 for a year
                        // under 69, else 0; -1: none
  char stamp[13];
};
// For a table of `capacity` entries at most (room for more is made).
void icf_survey_init(IcfSurvey *survey, int32_t period, int32_t capacity);
// One more entry; 0 when there is no memory for it (survey->failed).
int icf_survey_add(IcfSurvey *survey, time_t time, int status,
                   const char *stamp);
// As icf_due on the table of the entries given.
void icf_survey_due(const IcfSurvey *survey, time_t now, IcfDue *due);
void icf_survey_free(IcfSurvey *survey);

// ---- Local time at speed (icf_local) -------------------------------------

// The local time of many instants, as localtime_r tells it, at the cost of a
// few localtime_r calls for each change of the zone's offset: a local time
// is the instant plus the offset in force, and the offset and abbreviation
// in force are learnt over spans of time, sampled four days apart (no
// offset in the time zone database has lasted less than a week since 1970)
// and pinned to the second where they change. Where it cannot vouch for the
// result (localtime_r fails, the zone counts leap seconds) a call fails and
// the caller asks localtime_r itself.
struct IcfLocalSpan {
  time_t from, to;  // the offset holds from `from` to `to`, both included
  long offset;
  char zone[16];
};
// The local date of the instants met last under one offset: what the texts
// of its times share, so that the next entries, a period on, cost only
// their clock's digits.
struct IcfLocalDay {
  time_t from, to;  // the instants, both included; from > to: none yet
  time_t midnight;  // the instant that shows the date's 00:00:00
  int32_t keys;     // the date lies within the keys' years, 1969 to 2068
  int32_t zone_length;
  char key[8];    // the keys' yymmdd
  char text[12];  // "YYYY-MM-DD "; empty for a year of other than 4 digits
  char zone[16];
};
struct IcfLocal {
  IcfLocalSpan spans[4];
  int32_t count;
  int32_t next;  // the span given up for the next new one
  // The days of the dates met last, by their key text (yymmdd) and their
  // day number, for the keys and stamps of neighbouring entries.
  char dates[2][8];
  time_t days[2];
  int32_t date_next;
  IcfLocalDay day;
  // Dates of stamps judged whole, by their key text: 1 when the clock
  // shows every time of the date once, 0 when it changes that day.
  char shown_dates[2][8];
  int32_t shown[2];
  int32_t shown_next;
};
void icf_local_init(IcfLocal *local);
// The wall-clock time of t (t plus the offset in force, counted like UTC
// seconds) and its zone abbreviation (valid until the next call).
int icf_local_wall(IcfLocal *local, time_t t, time_t *wall, const char **zone);
// The interval key of t into key[13], as icf_cnv_time_str writes it; 0 for
// a year outside the keys' 1969 to 2068 too.
int icf_local_key(IcfLocal *local, time_t t, char *key);
// "YYYY-MM-DD HH:MM:SS ZONE" for t into buffer[40], as strftime writes it
// with "%Y-%m-%d %H:%M:%S %Z": its length, 0 when it cannot vouch for it.
size_t icf_local_text(IcfLocal *local, time_t t, char *buffer);
// The wall-clock time that a key of twelve digits names, each field within
// its calendar range; 0 for any other text.
int icf_key_wall(IcfLocal *local, const char *key, time_t *wall);  // key[13]
// Whether `key` is the interval key of t, as icf_cnv_time_str writes it: 1
// or 0, -1 when only the writer can tell.
int icf_local_names(IcfLocal *local, time_t t, const char *key);  // key[13]
// Whether `key` names a local time the clock shows, so that converting it
// and writing the key of that time gives `key` back: 1 or 0, -1 when only
// the conversion can tell.
int icf_local_shows(IcfLocal *local, const char *key);  // key[13]
