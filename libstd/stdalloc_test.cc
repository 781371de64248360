#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "libstd.h"

namespace {

// A table whose functions count their calls, keep the last size asked for
// and fail on request.
struct Counter {
  int calls[4];  // malloc, calloc, realloc, free
  uint32_t size;
  bool fail;
};
Counter *counter(void *context, int which, uint32_t size) {
  auto *c = static_cast<Counter *>(context);
  return ++c->calls[which], c->size = size, c;
}
void *c_malloc(uint32_t n, void *ctx) {
  return counter(ctx, 0, n)->fail ? nullptr : malloc(n);
}
void *c_calloc(uint32_t n, uint32_t s, void *ctx) {
  return counter(ctx, 1, n * s)->fail ? nullptr : calloc(n, s);
}
void *c_realloc(void *p, uint32_t n, void *ctx) {
  return counter(ctx, 2, n)->fail ? nullptr : realloc(p, n);
}
void c_free(void *p, void *ctx) { counter(ctx, 3, 0), free(p); }

struct AllocTest : testing::Test {
  void TearDown() override { std_alloc_set(nullptr); }
  int total() { return c.calls[0] + c.calls[1] + c.calls[2] + c.calls[3]; }
  Counter c = {};
  AllocMethods table = {c_malloc, c_calloc, c_realloc, c_free, &c};
  AllocMethods none = {nullptr, nullptr, nullptr, nullptr, &c};
};

TEST_F(AllocTest, ZeroSizesAndMissingFunctionsCallNothing) {
  char block[4];
  for (AllocMethods *m : {&table, &none}) {
    EXPECT_EQ(std_malloc(m, 0), nullptr);
    EXPECT_EQ(std_calloc(m, 0, 8), nullptr);
    EXPECT_EQ(std_calloc(m, 8, 0), nullptr);
    EXPECT_EQ(std_realloc(m, nullptr, 0), nullptr);
    EXPECT_EQ(std_free(m, nullptr), nullptr);
  }
  EXPECT_EQ(std_malloc(&none, 8), nullptr);
  EXPECT_EQ(std_calloc(&none, 1, 8), nullptr);
  EXPECT_EQ(std_realloc(&none, block, 8), nullptr);
  EXPECT_EQ(std_free(&none, block), nullptr);
  EXPECT_EQ(total(), 0);
}

TEST_F(AllocTest, CallsAndFailures) {
  char *p = static_cast<char *>(std_realloc(&table, nullptr, 4));  // malloc
  ASSERT_TRUE(p != nullptr && c.calls[0] == 1 && c.size == 4);
  memcpy(p, "abc", 4);
  p = static_cast<char *>(std_realloc(&table, p, 100));
  ASSERT_TRUE(p != nullptr && c.calls[2] == 1 && c.size == 100);
  c.fail = true;
  EXPECT_EQ(std_malloc(&table, 4), nullptr);
  EXPECT_EQ(std_calloc(&table, 1, 4), nullptr);
  EXPECT_EQ(std_strdup(&table, "x"), nullptr);
  EXPECT_EQ(std_realloc(&table, p, 64), nullptr);
  EXPECT_STREQ(p, "abc");                         // the old block stays valid
  EXPECT_EQ(std_realloc(&table, p, 0), nullptr);  // frees
  EXPECT_EQ(c.calls[3], 1);
  c.fail = false;
  auto *z = static_cast<unsigned char *>(std_calloc(&table, 3, 5));
  ASSERT_TRUE(z != nullptr && c.size == 15);
  EXPECT_EQ(z[0] | z[7] | z[14], 0);
  std_free(&table, z);
}

TEST_F(AllocTest, DefaultTableIsReplaceable) {
  EXPECT_EQ(Default_Methods, &System_Defaults);
  std_alloc_set(&table);
  void *p = std_malloc(nullptr, 8);
  EXPECT_TRUE(c.calls[0] == 1 && c.size == 8);
  std_free(nullptr, p);
  char *copy = std_strdup(nullptr, "key");
  EXPECT_TRUE(c.size == 4 && strcmp(copy, "key") == 0);
  std_free(nullptr, copy);
  std_alloc_set(nullptr);
  EXPECT_EQ(Default_Methods, &System_Defaults);
  std_free(nullptr, std_malloc(nullptr, 8));
  EXPECT_EQ(total(), 4);
}

}  // namespace
