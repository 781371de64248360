// Arbitrary bytes as a checkpoint file: the open fails cleanly, or the
// table keeps its invariants through the scheduler and a status change, the
// commit succeeds and the reopened file holds the committed table. The
// file is read in chunks of a size taken from the input too, which must
// give what reading it in one piece gives, so that records and numbers fall
// across the chunks' boundaries everywhere.
#include <algorithm>
#include <vector>

#include "../libicf/icf_internal.h"
#include "common.h"
#include "libicf.h"

static bool pending(int32_t status) { return status != 's' && status != 'x'; }

// The table as text, checking the ring, queue and cursor invariants. As
// `reread`, the text a reopen would load: each 'a' line's time from its
// key, the queue in ring order. A time the file cannot keep (it stores the
// low 32 bits) is marked with '!'.
static std::string snap(const IcfTable &t, bool reread = false) {
  FUZZ_CHECK(t.capacity >= 1 && t.period >= 1 && (t.first < 0) == (t.last < 0));
  FUZZ_CHECK(t.first < t.capacity && t.last < t.capacity);
  std::string s = std::to_string(t.period) + ' ' + std::to_string(t.retries) +
                  ' ' + std::to_string(t.capacity) + '\n',
              ring, queue;
  std::vector<int32_t> at(t.capacity, -1);
  for (int32_t i = t.first, n = 0; i >= 0; i = (i + 1) % t.capacity, n++) {
    const IcfEntry &e = t.entries[i];
    time_t time = e.time;
    if (reread && e.status == 'a') icf_cnv_time(e.key, &time);
    s += std::to_string(time) + (time < 0 || time > UINT32_MAX ? "! " : " ") +
         e.key + ' ' + e.stamp + ' ' + std::to_string(e.status) + ' ' +
         std::to_string(e.retry_count) + '\n';
    if (pending(e.status)) ring += std::to_string(at[i] = n) + ' ';
    if (i == t.last) break;
  }
  bool cursor_seen = t.cursor == nullptr;
  for (QueueElement *q = queue_first(const_cast<QueueHeader *>(&t.pending));
       q != nullptr; q = queue_next(q)) {
    auto *e = static_cast<IcfEntry *>(queue_data(q));
    FUZZ_CHECK(e >= t.entries && e < t.entries + t.capacity &&
               at[e - t.entries] >= 0 && queue.size() < ring.size());
    queue += std::to_string(at[e - t.entries]) + ' ';
    cursor_seen |= e == t.cursor;
  }
  FUZZ_CHECK(queue.size() == ring.size() && cursor_seen &&
             t.pending.count == std::count(ring.begin(), ring.end(), ' '));
  return s + (reread ? ring : queue);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  int fd = fuzz_free_fd();
  fuzz_write(data, size);
  Icf_Knobs.read_chunk = 64 * 1024;
  IcfFile whole;
  const bool whole_ok = icf_open(&whole, "FUZZ", Fuzz_Path);
  const std::string whole_table = whole_ok ? snap(whole.table) : "";
  const int32_t whole_line = whole.failure.line,
                whole_fault = whole.failure.read_fault;
  icf_close(&whole);
  Icf_Knobs.read_chunk = 1 + fuzz_hash(data, size) % 97;
  IcfFile file;
  const bool ok = icf_open(&file, "FUZZ", Fuzz_Path);
  Icf_Knobs.read_chunk = 64 * 1024;
  FUZZ_CHECK(ok == whole_ok &&
             (ok ? snap(file.table) == whole_table
                 : file.failure.line == whole_line &&
                       file.failure.read_fault == whole_fault));
  if (!ok) {
    FUZZ_CHECK(file.failure.fault != ICF_FAULT_NONE && file.stream == nullptr);
    FUZZ_CHECK(fuzz_free_fd() == fd);
    return 0;
  }
  IcfTable &t = file.table;
  FUZZ_CHECK(snap(t) == snap(t, true));
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
    IcfEntry *e = icf_entry_at(&t, int32_t((h >> 8) % icf_count(&t)));
    corvane(&file, e, "srax?"[(h >> 40) % 5]);
    IcfEntry *found = icf_find(&file, e->time);
    FUZZ_CHECK(found == nullptr || found->time == e->time);
    quenlor(&file, now, current);
  }
  std::string committed = snap(t), want = snap(t, true);
  FUZZ_CHECK(icf_commit(&file) && snap(t) == committed);
  std::string text = fuzz_read();
  icf_close(&file);
  IcfFile again;  // an unchanged table commits to the same bytes
  FUZZ_CHECK(icf_open(&again, "FUZZ", Fuzz_Path) && !again.table.cursor);
  std::string got = snap(again.table);
  auto rows = [](const std::string &s) { return s.substr(0, s.rfind('\n')); };
  FUZZ_CHECK(got == snap(again.table, true));
  if ((committed + want).find('!') == std::string::npos)
    FUZZ_CHECK(got == want && icf_commit(&again) &&
               (rows(want) != rows(committed) || fuzz_read() == text));
  icf_close(&again);
  FUZZ_CHECK(fuzz_free_fd() == fd);
  return 0;
}
