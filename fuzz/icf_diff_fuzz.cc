// Arbitrary bytes as a checkpoint file, opened by the library and by the
// former reader (reference_reader.cc): both accept it or both refuse it,
// and when they accept it they load the same table, ring and queue alike.
// One difference is deliberate: the library takes a tail of white space
// and NUL bytes (what a crash can leave of a file's last blocks) as the end
// of the text, which the former reader refused; the former reader gets the
// text without that tail. The library reads the file in chunks of a size
// taken from the input, so that records and numbers fall across the
// chunks' boundaries everywhere.
#include <string>

#include "common.h"
#include "libicf.h"
#include "libstd.h"
#include "reference_reader.h"

static std::string dump(const IcfTable &t) {
  std::string s = std::to_string(t.period) + ' ' + std::to_string(t.retries) +
                  ' ' + std::to_string(t.capacity) + ' ' +
                  std::to_string(t.first) + ' ' + std::to_string(t.last) + '\n';
  for (int32_t i = t.first; i >= 0; i = (i + 1) % t.capacity) {
    const IcfEntry &e = t.entries[i];
    s += std::to_string(e.time) + ' ' + e.key + ' ' + e.stamp + ' ' +
         std::to_string(e.status) + ' ' + std::to_string(e.retry_count) + '\n';
    if (i == t.last) break;
  }
  for (QueueElement *q = queue_first(const_cast<QueueHeader *>(&t.pending));
       q != nullptr; q = queue_next(q))
    s += std::to_string(static_cast<IcfEntry *>(queue_data(q)) - t.entries) +
         ' ';
  return s;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz_write(data, size);
  Icf_Read_Chunk = size == 0 ? 1 : 1 + (data[size / 2] * 31u + size) % 97;
  IcfFile file;
  IcfTable reference;
  const int got = icf_open(&file, "FUZZ", Fuzz_Path);
  size_t end = size;
  while (end > 0 && (data[end - 1] == '\0' || data[end - 1] == ' ' ||
                     (data[end - 1] >= '\t' && data[end - 1] <= '\r')))
    --end;
  fuzz_write(data, end);
  const int want = ref_open(&reference, Fuzz_Path);
  FUZZ_CHECK(got == want);
  if (got) {
    FUZZ_CHECK(dump(file.table) == dump(reference));
    FUZZ_CHECK(file.table.cursor == nullptr);
    icf_close(&file);
    icf_ring_free(reference.entries, reference.capacity);
  }
  return 0;
}
