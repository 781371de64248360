// What the harnesses share: a fixed clock and zone, a scratch checkpoint
// file, and a check that aborts so that libFuzzer keeps the input.
// common.cc defines LLVMFuzzerInitialize.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

constexpr time_t Fuzz_Clock = 1730647810;  // 2024-11-03 10:30:10 EST: time()

#define FUZZ_CHECK(c)                                                 \
  ((c) ? (void)0                                                      \
       : (std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, \
                       __LINE__, #c),                                 \
          std::abort()))

extern char Fuzz_Path[64];
void fuzz_write(const void *data, size_t size);  // to Fuzz_Path
std::string fuzz_read();
int fuzz_free_fd();  // the lowest free descriptor, to catch a leak
uint64_t fuzz_hash(const uint8_t *data, size_t size);
