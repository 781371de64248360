// Each allocation of a run fails in turn: the file stays untouched or the
// job is done another way; no memory or descriptor stays in use.
#include "child.h"
#include "gtest/gtest.h"
#include "libstd.h"

namespace {

int64_t Fail_At, Calls, Live;
void *counted(void *p) { return Live += p != nullptr, p; }
bool fails() { return Calls++ == Fail_At; }
AllocMethods Counted = {
    [](uint32_t n, void *) { return fails() ? nullptr : counted(malloc(n)); },
    [](uint32_t n, uint32_t s, void *) {
      return fails() ? nullptr : counted(calloc(n, s));
    },
    [](void *p, uint32_t n, void *) {
      return fails() ? nullptr : realloc(p, n);
    },
    [](void *p, void *) { Live -= p != nullptr, free(p); }, nullptr};

// A run as the programs make one; false when the library reported failure.
bool job(const std::string &path, bool readonly) {
  IcfFile f;
  if (!(readonly ? icf_open_readonly : icf_open)(&f, "TEST", path.c_str())) {
    EXPECT_TRUE(f.failure.fault != ICF_FAULT_NONE && f.stream == nullptr);
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
  const std::string text = quarter_hours(10, 200);
  Scratch s(text);
  std::string path = s.dir + "/f";
  job(path, false);
  const std::string done = unstamped(s.read());
  auto fds = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                         {});
  };
  for (bool readonly : {true, false}) {
    for (Fail_At = 0;; Fail_At++) {
      SCOPED_TRACE("allocation " + std::to_string(Fail_At) + " fails");
      std::ofstream(path, std::ios::binary) << text;
      auto open = fds();
      Calls = 0;
      std_alloc_set(&Counted);
      bool ok = job(path, readonly), saved = ok && !readonly;
      std_alloc_set(nullptr);
      EXPECT_EQ(Live, 0);
      EXPECT_EQ(fds(), open);
      EXPECT_EQ(saved ? unstamped(s.read()) : s.read(), saved ? done : text);
      EXPECT_TRUE(ok || Fail_At < Calls);  // it fails only when made to
      if (Fail_At >= Calls) break;
    }
    EXPECT_GT(Fail_At, 2);  // failures were injected
  }
}

}  // namespace
