#include "common.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "libicf.h"
#include "libstd.h"

// Replaces the C library's clock for the whole harness process.
extern "C" time_t time(time_t *t) noexcept {
  if (t != nullptr) *t = Fuzz_Clock;
  return Fuzz_Clock;
}

void fuzz_fail(const char *what, const char *file, int line) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
  std::abort();
}

// An allocator that refuses blocks above 64 MiB, as a small machine would:
// a header asking for billions of entries must fail the open cleanly
// instead of tripping the fuzzer's memory limit.
constexpr uint64_t Max_Block = 64u << 20;

static void *bounded_malloc(uint32_t size, void *) {
  return size > Max_Block ? nullptr : std::malloc(size);
}
static void *bounded_calloc(uint32_t count, uint32_t size, void *) {
  if (uint64_t{count} * size > Max_Block) return nullptr;
  return std::calloc(count, size);
}
static void *bounded_realloc(void *p, uint32_t size, void *) {
  return size > Max_Block ? nullptr : std::realloc(p, size);
}
static void bounded_free(void *p, void *) { std::free(p); }

static AllocMethods Bounded = {bounded_malloc, bounded_calloc, bounded_realloc,
                               bounded_free, nullptr};
static char Path[64];
static int Lowest_Free_Fd = -1;

static int lowest_free_fd() {
  int fd = open("/dev/null", O_RDONLY);
  close(fd);
  return fd;
}

void fuzz_setup() {
  setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
  tzset();
  std_alloc_set(&Bounded);
  Lock_Wait_Ms = 0;  // nothing else holds the scratch file
  // Every commit syncs the file and its directory: in memory that costs
  // nothing, on a disk it would bound the runs to a few hundred a second.
  const char *dir =
      access("/dev/shm", W_OK) == 0 ? "/dev/shm" : getenv("TMPDIR");
  std::snprintf(Path, sizeof Path, "%.40s/icf-fuzz-%d",
                dir != nullptr && dir[0] != '\0' ? dir : "/tmp", getpid());
  std::atexit([] { unlink(Path); });
}

const char *fuzz_path() { return Path; }

void fuzz_write(const char *path, const void *data, size_t size) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(write(fd, data, size) == static_cast<ssize_t>(size));
  close(fd);
}

std::string fuzz_read(const char *path) {
  std::string text;
  FILE *f = std::fopen(path, "rb");
  FUZZ_CHECK(f != nullptr);
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  std::fclose(f);
  return text;
}

void fuzz_mark_fds() { Lowest_Free_Fd = lowest_free_fd(); }

void fuzz_check_fds() { FUZZ_CHECK(lowest_free_fd() == Lowest_Free_Fd); }

uint64_t fuzz_hash(const uint8_t *data, size_t size) {
  uint64_t h = 14695981039346656037u;
  for (size_t i = 0; i < size; i++) h = (h ^ data[i]) * 1099511628211u;
  return h;
}
