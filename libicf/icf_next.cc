// Where an interval of a file's grid ends: where the scheduler would start
// the next one.

#include <cstring>

#include "libicf.h"
#include "libstd.h"

time_t icf_next_start(const IcfTable *table, time_t start) {
  if (table == nullptr || table->period < 1) return -1;
  const int32_t period = table->period;
  // The next start lies at most one period and a repeated hour ahead; a
  // clock that far on makes the scheduler append it first, and the ring
  // holds every interval up to there, so none is dropped.
  const time_t now = start + period + 3600;
  const int32_t capacity = (period + 3600) / period + 3;
  IcfFile scratch;
  std::memset(&scratch, 0, sizeof scratch);
  IcfTable *t = &scratch.table;
  queue_create(&t->pending, t, nullptr);
  t->period = period;
  t->retries = table->retries;
  t->capacity = capacity;
  t->first = t->last = -1;
  t->entries = static_cast<IcfEntry *>(
      std_calloc(nullptr, static_cast<uint32_t>(capacity), sizeof(IcfEntry)));
  if (t->entries == nullptr) return -1;
  char key[13];
  time_t next = -1;
  if (icf_cnv_time_str(start, key)) {
    // Done, so that the first pending entry is the first one appended.
    icf_entry_new(t, start, key, key, 's', 0);
    if (const IcfEntry *e = quenlor(&scratch, now, 1)) next = e->time;
  }
  std_free(nullptr, t->entries);
  return next;
}
