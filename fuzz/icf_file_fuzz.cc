// Arbitrary bytes as a checkpoint file: the open fails cleanly, or the
// table keeps its invariants through the scheduler and a status change, the
// commit succeeds and the reopened file holds the committed table.
#include <algorithm>
#include <functional>
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
  std::vector<Row> rows;        // oldest first
  std::vector<size_t> pending;  // queue order, as indexes into rows
  bool operator==(const Snapshot &) const = default;
};

bool pending(int32_t status) { return status != 's' && status != 'x'; }

// Copies the table, checking the ring, the queue and the cursor.
Snapshot snap(const IcfTable &t) {
  Snapshot s{t.period, t.retries, t.capacity, {}, {}};
  FUZZ_CHECK(t.capacity >= 1 && t.period >= 1 && (t.first < 0) == (t.last < 0));
  FUZZ_CHECK(t.first < t.capacity && t.last < t.capacity);
  std::vector<size_t> at(t.capacity, SIZE_MAX);
  for (int32_t i = t.first; i >= 0; i = (i + 1) % t.capacity) {
    const IcfEntry &e = t.entries[i];
    at[i] = s.rows.size();
    s.rows.push_back({e.time, e.key, e.stamp, e.status, e.retry_count});
    if (i == t.last) break;
  }
  size_t want = std::count_if(s.rows.begin(), s.rows.end(),
                              [](const Row &r) { return pending(r.status); });
  bool cursor_seen = t.cursor == nullptr;
  for (QueueElement *q = queue_first(const_cast<QueueHeader *>(&t.pending));
       q != nullptr; q = queue_next(q)) {
    auto *e = static_cast<IcfEntry *>(queue_data(q));
    FUZZ_CHECK(e >= t.entries && e < t.entries + t.capacity);
    FUZZ_CHECK(at[e - t.entries] != SIZE_MAX && pending(e->status));
    FUZZ_CHECK(s.pending.size() < want);
    s.pending.push_back(at[e - t.entries]);
    cursor_seen |= e == t.cursor;
  }
  FUZZ_CHECK(s.pending.size() == want && t.pending.count == int32_t(want));
  FUZZ_CHECK(cursor_seen);
  return s;
}

// A loaded table queues its pending entries in ring order.
bool loaded(const Snapshot &s) {
  return std::adjacent_find(s.pending.begin(), s.pending.end(),
                            std::greater_equal<>()) == s.pending.end();
}

// The file keeps the low 32 bits of a time: beyond them a reread differs.
bool times_fit(const Snapshot &s) {
  return std::all_of(s.rows.begin(), s.rows.end(), [](const Row &r) {
    return r.time >= 0 && r.time <= time_t{UINT32_MAX};
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  int fd = fuzz_free_fd();
  fuzz_write(data, size);
  IcfFile file;
  if (!icf_open(&file, "FUZZ", Fuzz_Path)) {
    FUZZ_CHECK(file.error == ICF_ERR_INVALID && file.stream == nullptr);
    FUZZ_CHECK(fuzz_free_fd() == fd);
    return 0;
  }
  IcfTable &t = file.table;
  FUZZ_CHECK(loaded(snap(t)));
  // At most a few periods past the newest entry: with a fixed clock a 1970
  // file of one-second periods would keep the scheduler busy for hours.
  uint64_t h = fuzz_hash(data, size);
  time_t now = t.last < 0 ? Fuzz_Clock
                          : std::max<time_t>(0, t.entries[t.last].time +
                                                    time_t(h % 16) * t.period);
  int current = (h >> 4) & 1;
  for (int32_t i = 0; i <= t.capacity && quenlor(&file, now, current); i++) {
  }
  snap(t);
  if (t.last >= 0) {
    int32_t n = (t.last - t.first + t.capacity) % t.capacity + 1;
    IcfEntry *e = &t.entries[(t.first + (h >> 8) % n) % t.capacity];
    corvane(&file, e, "srax?"[(h >> 40) % 5]);
    IcfEntry *found = icf_find(&file, e->time);
    FUZZ_CHECK(found == nullptr || found->time == e->time);
    quenlor(&file, now, current);
  }
  Snapshot committed = snap(t);
  FUZZ_CHECK(icf_commit(&file) && snap(t) == committed);
  std::string text = fuzz_read();
  icf_close(&file);

  // Reread: the committed rows, each 'a' line's time taken from its key,
  // queued in ring order; an unchanged table commits to the same bytes.
  Snapshot want = committed;
  want.pending.clear();
  for (size_t i = 0; i < want.rows.size(); i++) {
    Row &r = want.rows[i];
    if (r.status == 'a') icf_cnv_time(r.key.c_str(), &r.time);
    if (pending(r.status)) want.pending.push_back(i);
  }
  IcfFile again;
  FUZZ_CHECK(icf_open(&again, "FUZZ", Fuzz_Path));
  Snapshot got = snap(again.table);
  FUZZ_CHECK(loaded(got) && again.table.cursor == nullptr);
  if (times_fit(committed) && times_fit(want)) {
    FUZZ_CHECK(got == want && icf_commit(&again));
    FUZZ_CHECK(want.rows != committed.rows || fuzz_read() == text);
  }
  icf_close(&again);
  FUZZ_CHECK(fuzz_free_fd() == fd);
  return 0;
}
