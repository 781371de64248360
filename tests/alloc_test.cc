// Allocation failure through the AllocMethods table: each allocation of a
// run is made to fail in turn. The library then reports the failure with
// the file untouched, or does its job another way; nothing stays allocated
// and no descriptor stays open.
#include <dirent.h>

#include <cstdlib>

#include "child.h"
#include "gtest/gtest.h"
#include "libicf.h"
#include "libstd.h"

namespace {

// Counts calls and live blocks; the call numbered `fail_at` fails.
struct Budget {
  int64_t fail_at = -1, calls = 0, live = 0;
  void *count(void *block) { return live += block != nullptr, block; }
};
Budget Spent;

void *t_malloc(uint32_t size, void *) {
  return Spent.calls++ == Spent.fail_at ? nullptr
                                        : Spent.count(std::malloc(size));
}
void *t_calloc(uint32_t n, uint32_t size, void *) {
  return Spent.calls++ == Spent.fail_at ? nullptr
                                        : Spent.count(std::calloc(n, size));
}
void *t_realloc(void *p, uint32_t size, void *) {
  return Spent.calls++ == Spent.fail_at ? nullptr : std::realloc(p, size);
}
void t_free(void *p, void *) {
  Spent.live -= p != nullptr;
  std::free(p);
}
AllocMethods Counted = {t_malloc, t_calloc, t_realloc, t_free, nullptr};

int open_descriptors() {
  int n = 0;
  DIR *d = opendir("/proc/self/fd");
  while (readdir(d) != nullptr) n++;
  closedir(d);
  return n;
}

// The entries of a file, without the stamps of the clock.
std::string entries(const std::string &path) {
  IcfFile f;
  if (!icf_open_readonly(&f, "TEST", path.c_str())) return "unreadable";
  std::string text;
  for (int32_t i = f.table.first; i >= 0; i = (i + 1) % f.table.capacity) {
    const IcfEntry &e = f.table.entries[i];
    text += std::string(e.key) + char(e.status) +
            std::to_string(e.retry_count) + " ";
    if (i == f.table.last) break;
  }
  icf_close(&f);
  return text;
}

// A run as the programs make it. False when the library reported failure.
bool job_run(const std::string &path, bool readonly) {
  IcfFile f;
  if (!(readonly ? icf_open_readonly : icf_open)(&f, "TEST", path.c_str())) {
    EXPECT_EQ(f.error, ICF_ERR_INVALID);
    EXPECT_EQ(f.stream, nullptr);
    return false;
  }
  while (quenlor(&f, Jan1 + 900 * 40, 0) != nullptr) {
  }
  corvane(&f, icf_find(&f, Jan1 + 900 * 2), 's');
  bool ok = readonly || icf_commit(&f);
  icf_close(&f);
  return ok;
}

TEST(Allocation, EveryFailureIsCleanAndLeaksNothing) {
  TempDir dir;
  std::string path = dir / "job.icf";
  std::string text = quarter_hours(10, 200);
  write_file(path, text);
  job_run(path, false);
  const std::string done = entries(path);

  int failures = 0;
  for (bool readonly : {true, false}) {
    for (Spent.fail_at = 0;; Spent.fail_at++) {
      SCOPED_TRACE("allocation " + std::to_string(Spent.fail_at) + " fails");
      write_file(path, text);
      int descriptors = open_descriptors();
      Spent.calls = 0;
      std_alloc_set(&Counted);
      bool ok = job_run(path, readonly);
      std_alloc_set(nullptr);
      EXPECT_EQ(Spent.live, 0);
      EXPECT_EQ(open_descriptors(), descriptors);
      if (!ok) {
        EXPECT_EQ(read_file(path), text);
      } else if (!readonly) {
        EXPECT_EQ(entries(path), done);
      }
      if (Spent.fail_at >= Spent.calls) {
        EXPECT_TRUE(ok);  // it fails only when made to
        break;
      }
      failures++;
    }
  }
  std::printf("%d allocation failures injected\n", failures);
  RecordProperty("allocation_failures", failures);
}

}  // namespace
