// What every harness shares: a fixed clock and zone, a bounded allocator,
// a scratch checkpoint file, and a check that aborts with a message so
// that libFuzzer records the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

// 2024-11-03 10:30:10 EST, the morning after the autumn change. time()
// returns it in every harness, so runs do not depend on the machine.
constexpr time_t Fuzz_Clock = 1730647810;

#define FUZZ_CHECK(cond) \
  ((cond) ? (void)0 : fuzz_fail(#cond, __FILE__, __LINE__))
[[noreturn]] void fuzz_fail(const char *what, const char *file, int line);

// Sets the zone, installs the bounded allocator and makes the scratch file
// path. Call from LLVMFuzzerInitialize.
void fuzz_setup();
// The scratch checkpoint file of this process.
const char *fuzz_path();
void fuzz_write(const char *path, const void *data, size_t size);
std::string fuzz_read(const char *path);
// Notes the descriptors open at the start of a run; fuzz_check_fds aborts
// when one opened during the run is still open (a leaked stream or lock).
void fuzz_mark_fds();
void fuzz_check_fds();
// A 64-bit hash of the input, to pick parameters without a prefix that
// would keep seed files from being real checkpoint files.
uint64_t fuzz_hash(const uint8_t *data, size_t size);
