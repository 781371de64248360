#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "libstd.h"

namespace {

// Logs each call (m, c, r, f and the size asked for); fails on request.
struct Seam {
  std::string log;
  bool fail;
};
bool hit(void *seam, char kind, uint32_t size) {
  auto *s = static_cast<Seam *>(seam);
  s->log += kind + (size ? std::to_string(size) : "") + " ";
  return !s->fail;
}
void *m(uint32_t n, void *s) { return hit(s, 'm', n) ? malloc(n) : nullptr; }
void *c(uint32_t k, uint32_t n, void *s) {
  return hit(s, 'c', k * n) ? calloc(k, n) : nullptr;
}
void *r(void *p, uint32_t n, void *s) {
  return hit(s, 'r', n) ? realloc(p, n) : nullptr;
}
void f(void *p, void *s) { hit(s, 'f', 0), free(p); }
Seam seam;
AllocMethods table = {m, c, r, f, &seam};

// Calls with a null table go through the default one, here the logging one.
TEST(StdAlloc, CallsAndFailures) {
  AllocMethods none = {};
  seam = {};
  std_alloc_set(&table);
  char block[4];
  // Zero sizes and missing functions call nothing.
  for (void *p : {std_malloc(nullptr, 0), std_calloc(nullptr, 0, 8),
                  std_calloc(nullptr, 8, 0), std_realloc(nullptr, nullptr, 0),
                  std_free(nullptr, nullptr), std_malloc(&none, 8),
                  std_calloc(&none, 1, 8), std_realloc(&none, block, 8),
                  std_free(&none, block)})
    EXPECT_EQ(p, nullptr);
  std_free(nullptr, std_realloc(nullptr, nullptr, 4));  // malloc
  char *p = std_strdup(nullptr, "abc");
  p = static_cast<char *>(std_realloc(nullptr, p, 100));
  ASSERT_STREQ(p, "abc");
  seam.fail = true;
  EXPECT_EQ(std_malloc(nullptr, 4), nullptr);
  EXPECT_EQ(std_calloc(nullptr, 3, 5), nullptr);
  EXPECT_EQ(std_strdup(nullptr, "x"), nullptr);
  EXPECT_EQ(std_realloc(nullptr, p, 64), nullptr);
  EXPECT_STREQ(p, "abc");                          // the old block stays valid
  EXPECT_EQ(std_realloc(nullptr, p, 0), nullptr);  // frees
  EXPECT_EQ(seam.log, "m4 f m4 r100 m4 c15 m2 r64 f ");
  std_alloc_set(nullptr);
  EXPECT_EQ(Default_Methods, &System_Defaults);
  std_free(nullptr, std_malloc(nullptr, 8));
  EXPECT_EQ(seam.log, "m4 f m4 r100 m4 c15 m2 r64 f ");
}

}  // namespace
