// A checkpoint file made of arbitrary bytes. Whatever the bytes, the open
// either fails cleanly or yields a table that keeps its invariants through
// the scheduler and a status change; its commit must succeed, and the
// reopened file must hold exactly the committed table.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common.h"
#include "libicf.h"

namespace {

struct Row {
  time_t time;
  std::string key, stamp;
  int32_t status, retry_count;
  bool operator==(const Row &) const = default;
};

struct Snapshot {
  int32_t period, retries, capacity;
  std::vector<Row> rows;        // ring order, oldest first
  std::vector<size_t> pending;  // queue order, as positions in `rows`
  bool operator==(const Snapshot &) const = default;
};

bool is_pending(int32_t status) { return status != 's' && status != 'x'; }

// Copies the table and checks the ring, queue and cursor invariants.
Snapshot snapshot(const IcfTable &t) {
  Snapshot s{t.period, t.retries, t.capacity, {}, {}};
  FUZZ_CHECK(t.capacity >= 1 && t.period >= 1);
  FUZZ_CHECK((t.first < 0) == (t.last < 0));
  std::vector<size_t> position(t.capacity, SIZE_MAX);
  if (t.first >= 0) {
    FUZZ_CHECK(t.first < t.capacity && t.last < t.capacity);
    for (int32_t i = t.first;; i = (i + 1) % t.capacity) {
      const IcfEntry &e = t.entries[i];
      position[i] = s.rows.size();
      s.rows.push_back({e.time, e.key, e.stamp, e.status, e.retry_count});
      if (i == t.last) break;
    }
  }
  size_t want = 0;
  for (const Row &r : s.rows) want += is_pending(r.status);
  bool cursor_seen = t.cursor == nullptr;
  for (QueueElement *q = queue_first(const_cast<QueueHeader *>(&t.pending));
       q != nullptr; q = queue_next(q)) {
    auto *e = static_cast<IcfEntry *>(queue_data(q));
    FUZZ_CHECK(e >= t.entries && e < t.entries + t.capacity);
    size_t p = position[e - t.entries];
    FUZZ_CHECK(p != SIZE_MAX && is_pending(e->status));
    FUZZ_CHECK(s.pending.size() < want);
    s.pending.push_back(p);
    cursor_seen |= e == t.cursor;
  }
  FUZZ_CHECK(s.pending.size() == want && t.pending.count == int32_t(want));
  FUZZ_CHECK(cursor_seen);
  return s;
}

// A freshly loaded table queues its pending entries in ring order.
void check_loaded(const Snapshot &s) {
  for (size_t i = 1; i < s.pending.size(); i++)
    FUZZ_CHECK(s.pending[i - 1] < s.pending[i]);
}

// The file keeps the low 32 bits of each time; beyond that range a reread
// differs by design.
bool times_fit(const Snapshot &s) {
  for (const Row &r : s.rows)
    if (r.time < 0 || r.time > time_t{UINT32_MAX}) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz_setup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const char *path = fuzz_path();
  fuzz_mark_fds();
  fuzz_write(path, data, size);
  IcfFile file;
  if (!icf_open(&file, "FUZZ", path)) {
    FUZZ_CHECK(file.error == ICF_ERR_INVALID && file.stream == nullptr);
    fuzz_check_fds();
    return 0;
  }
  IcfTable &t = file.table;
  check_loaded(snapshot(t));

  // The scheduler, up to a few periods past the newest entry (a fixed
  // clock would let a file from 1970 with a one-second period run for
  // hours); then walk the whole pending queue once and a bit.
  uint64_t h = fuzz_hash(data, size);
  time_t now = Fuzz_Clock;
  if (t.last >= 0)
    now =
        std::max<time_t>(0, t.entries[t.last].time + time_t(h % 16) * t.period);
  int include_current = (h >> 4) & 1;
  for (int32_t i = 0; i <= t.capacity && quenlor(&file, now, include_current);
       i++) {
  }
  snapshot(t);

  // A status change on one entry, then one more scheduler call.
  if (t.last >= 0) {
    int32_t n = (t.last - t.first + t.capacity) % t.capacity + 1;
    IcfEntry *e = &t.entries[(t.first + (h >> 8) % n) % t.capacity];
    corvane(&file, e, "srax?"[(h >> 40) % 5]);
    IcfEntry *found = icf_find(&file, e->time);
    FUZZ_CHECK(found == nullptr || found->time == e->time);
    quenlor(&file, now, include_current);
  }
  Snapshot committed = snapshot(t);
  FUZZ_CHECK(icf_commit(&file));
  FUZZ_CHECK(snapshot(t) == committed);
  std::string text = fuzz_read(path);
  icf_close(&file);

  // The reopened table is the committed one, with the queue in ring order
  // and the time of each 'a' line taken from its key; when no 'a' line
  // changes, committing it again writes the same bytes.
  Snapshot expected = committed;
  expected.pending.clear();
  for (size_t i = 0; i < expected.rows.size(); i++) {
    Row &r = expected.rows[i];
    if (r.status == 'a') icf_cnv_time(r.key.c_str(), &r.time);
    if (is_pending(r.status)) expected.pending.push_back(i);
  }
  IcfFile again;
  FUZZ_CHECK(icf_open(&again, "FUZZ", path));
  Snapshot reread = snapshot(again.table);
  check_loaded(reread);
  FUZZ_CHECK(again.table.cursor == nullptr);
  if (times_fit(committed) && times_fit(expected)) {
    FUZZ_CHECK(reread == expected);
    FUZZ_CHECK(icf_commit(&again));
    if (expected.rows == committed.rows) FUZZ_CHECK(fuzz_read(path) == text);
  }
  icf_close(&again);
  fuzz_check_fds();
  return 0;
}
