#include "common.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "../libicf/icf_internal.h"
#include "libicf.h"
#include "libstd.h"

extern "C" time_t time(time_t *t) noexcept {
  return t != nullptr ? *t = Fuzz_Clock : Fuzz_Clock;
}

// A header asking for billions of entries must fail the open cleanly, not
// trip the fuzzer's memory limit.
constexpr uint64_t Max_Block = 64u << 20;
static AllocMethods Bounded = {
    [](uint32_t n, void *) { return n > Max_Block ? nullptr : malloc(n); },
    [](uint32_t n, uint32_t s, void *) {
      return uint64_t{n} * s > Max_Block ? nullptr : calloc(n, s);
    },
    [](void *p, uint32_t n, void *) {
      return n > Max_Block ? nullptr : realloc(p, n);
    },
    [](void *p, void *) { free(p); }, nullptr};
char Fuzz_Path[64];

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
  tzset();
  std_alloc_set(&Bounded);
  Icf_Knobs.lock_wait_ms = 0;
  // Every commit syncs the file: in memory that costs nothing.
  std::snprintf(Fuzz_Path, sizeof Fuzz_Path, "%s/icf-fuzz-%d",
                access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp", getpid());
  std::atexit([] { unlink(Fuzz_Path); });
  return 0;
}

void fuzz_write(const void *data, size_t size) {
  int fd = open(Fuzz_Path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  FUZZ_CHECK(fd >= 0 && write(fd, data, size) == ssize_t(size));
  close(fd);
}

std::string fuzz_read() {
  std::ostringstream text;
  text << std::ifstream(Fuzz_Path, std::ios::binary).rdbuf();
  return text.str();
}

int fuzz_free_fd() {
  int fd = open("/dev/null", O_RDONLY);
  close(fd);
  return fd;
}

uint64_t fuzz_hash(const uint8_t *data, size_t size) {
  uint64_t h = 14695981039346656037u;
  for (size_t i = 0; i < size; i++) h = (h ^ data[i]) * 1099511628211u;
  return h;
}
