// Handing a table loaded from one file to another open file, so that a
// table prepared elsewhere (an edited copy) is saved by the usual commit.

#include <cstdio>
#include <cstring>

#include "icf_internal.h"
#include "libicf.h"
#include "libstd.h"

void icf_queue_rebuild(IcfTable *table) {
  queue_create(&table->pending, table, nullptr);
  for (int32_t k = 0, n = icf_count(table); k < n; ++k) {
    IcfEntry *entry = icf_entry_at(table, k);
    queue_init(&entry->link, entry);
    if (icf_pending(entry->status)) queue_insert(&table->pending, &entry->link);
  }
}

int icf_adopt(IcfFile *file, IcfFile *from) {
  if (file == nullptr || from == nullptr || file == from ||
      file->stream == nullptr || from->stream == nullptr ||
      from->table.entries == nullptr)
    return 0;
  IcfTable *table = &file->table;
  icf_ring_free(table->entries, table->capacity);
  const IcfTable &source = from->table;
  table->period = source.period;
  table->retries = source.retries;
  table->capacity = source.capacity;
  table->first = source.first;
  table->last = source.last;
  table->entries = source.entries;
  table->cursor = nullptr;
  file->saved = IcfHash{};  // the file no longer holds this table
  icf_kept_lost(file->kept);
  // The links point at the anchor inside `from`, which is about to be
  // cleared: the queue is rebuilt in ring order, which is file order.
  icf_queue_rebuild(table);
  fclose(from->stream);
  std_free(nullptr, from->path);
  std::memset(from, 0, sizeof *from);
  return 1;
}
