// Standard support library: replaceable allocation, bounded strings,
// character codes, calendar time and date-time fields.
//
// Every function here reports through its result only; nothing prints,
// exits or throws.
#pragma once

#include <cstdint>
#include <ctime>

// ---- Allocation (stdalloc) ----------------------------------------------

// A table of allocator functions. Any function may be null: the operation
// that needs it then does nothing and returns null. `context` is passed
// unchanged as the last argument of each function.
struct AllocMethods {
  void *(*malloc_fn)(uint32_t size, void *context);
  void *(*calloc_fn)(uint32_t count, uint32_t size, void *context);
  void *(*realloc_fn)(void *pointer, uint32_t size, void *context);
  void (*free_fn)(void *pointer, void *context);
  void *context;
};

// The built-in table over malloc/calloc/realloc/free.
extern AllocMethods System_Defaults;
// The table used when a call passes null; starts at &System_Defaults.
extern AllocMethods *Default_Methods;

// Makes `methods` the default table; null restores System_Defaults.
void std_alloc_set(AllocMethods *methods);
// Null (without calling anything) for size 0 or a missing function.
void *std_malloc(AllocMethods *methods, uint32_t size);
// Zero-filled; null for count 0, size 0 or a missing function.
void *std_calloc(AllocMethods *methods, uint32_t count, uint32_t size);
// Null pointer: std_malloc. Size 0: frees and returns null. On failure the
// old block stays valid.
void *std_realloc(AllocMethods *methods, void *pointer, uint32_t size);
// Frees a non-null pointer through the table; always returns null.
void *std_free(AllocMethods *methods, void *pointer);

// ---- Bounded strings (stdstr) -------------------------------------------
// `size` is the full size of the destination, terminator included. A
// destination of size 0 is never touched; otherwise it is always terminated.

// Copies at most size - 1 characters of `source`. Returns `destination`.
char *std_strcpy(char *destination, uint32_t size, const char *source);
// Appends each source up to a null pointer, as far as room allows.
char *std_strcat(char *destination, uint32_t size, const char *source, ...)
    __attribute__((sentinel));
// size - 1 copies of `character`, then a terminator.
char *std_strfill(char *destination, uint32_t size, int character);
// A copy allocated through `methods` (free it through the same table).
char *std_strdup(AllocMethods *methods, const char *source);

// ---- Utilities (stdutil) ------------------------------------------------

// 1 when [start1, start1 + length1) and [start2, start2 + length2) share a
// position, else 0. Ranges that only touch and empty ranges do not overlap.
int std_util_overlap(int64_t start1, uint32_t length1, int64_t start2,
                     uint32_t length2);
// printf into `buffer`, never more than `size` bytes, always terminated when
// size >= 1. Returns the length written, or -1 on a formatting error or
// when the text did not fit (it is then cut to size - 1 characters).
int std_snprintf(char *buffer, uint32_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// ---- Character codes (stdchar) ------------------------------------------
// The first four return -1 when there is no such character or value.

int std_char_todigval(int character, int base);
int std_char_todigcode(int value, int base);
int std_char_tocarat(int character);
int std_char_tocntrl(int character);
// Escape letter <-> control code (a b t n v f r); anything else unchanged.
int std_char_toescval(int character);
int std_char_toesccode(int code);

// ---- Time conversion (stdtime) ------------------------------------------

// A broken-down time. `mon` is 0-11, `year` the full year. `zone` is at
// most 3 characters; a UTC record has "GMT", gmtoff 0 and isdst 0.
struct StdTimeValue {
  int32_t sec;
  int32_t min;
  int32_t hour;
  int32_t mday;
  int32_t mon;
  int32_t year;
  int32_t wday;
  int32_t yday;
  int32_t isdst;
  char zone[4];
  int32_t gmtoff;
};

// A time with microseconds; in a difference both fields carry its sign.
struct StdFineTime {
  time_t sec;
  int32_t usec;
};

extern const char UTC_Name[4];

// Where a time value is passed by pointer as input, a null pointer or a
// value of 0 means the current time; a 0 is then replaced by the time used.
// `local` nonzero converts in the process's zone, 0 in UTC.

// 1 with the current time in *now (when non-null), 0 if the clock fails.
int std_time_get(time_t *now);
// 1 with the current time and microseconds, 0 if the clock fails.
int std_finetime_get(StdFineTime *now);
// result = to - from; result may alias either operand.
void std_finetime_diff(const StdFineTime *from, const StdFineTime *to,
                       StdFineTime *result);
// result = a + b with one carry step; result may alias either operand.
void std_finetime_add(const StdFineTime *a, const StdFineTime *b,
                      StdFineTime *result);
// 1 with *value describing *t; 0 (value untouched) on failure.
int std_time_break(time_t *t, StdTimeValue *value, int local);
// Reads sec..year of *value, stores the time in *t (when non-null) and
// rewrites *value normalised. 0 (t holds 0) when mktime fails.
int std_time_make(StdTimeValue *value, int local, time_t *t);
// Formats *t with `format` (strftime) or, when null, as the 12-digit key
// yymmddhhmmss (needs size >= 13). Returns the length or -1.
int std_time_format(time_t *t, StdTimeValue *value, const char *format,
                    char *buf, uint32_t size, int local);
// Reads `text` with `format` (strptime) or, when null, as a key of up to
// six 2-digit fields (missing fields completed, years 69-99 -> 19xx,
// 00-68 -> 20xx). An empty or unreadable text means the current time.
// 1 on success; 0 with *t = 0 on failure.
int std_time_parse(const char *text, const char *format, int local, time_t *t,
                   StdTimeValue *value);

// ---- Date-time fields (stdtime) -----------------------------------------

// Writes a count of seconds as ddddhhmmss (format null, size >= 11) or in
// the %j %H %M %S %% field language. Returns the length or -1; on -1 the
// buffer (when size >= 1) is still terminated.
int std_dt_format(const int32_t *seconds, const char *format, char *buf,
                  uint32_t size);
// Reads a count of seconds written as above. 1 on success, 0 on failure
// (the count is then not written).
int std_dt_parse(const char *text, const char *format, int32_t *seconds);
// 0-68 -> 2000-2068, 69-99 -> 1969-1999, anything else -> 0.
int std_y2_to_y4(int year);
