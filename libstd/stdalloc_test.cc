#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "libstd.h"

namespace {

// A table whose functions count their calls, remember their arguments and
// fail on request.
struct Counter {
  int malloc_calls, calloc_calls, realloc_calls, free_calls;
  uint32_t last_size;
  bool fail;
};

void *c_malloc(uint32_t size, void *context) {
  auto *c = static_cast<Counter *>(context);
  ++c->malloc_calls, c->last_size = size;
  return c->fail ? nullptr : malloc(size);
}
void *c_calloc(uint32_t count, uint32_t size, void *context) {
  auto *c = static_cast<Counter *>(context);
  ++c->calloc_calls, c->last_size = count * size;
  return c->fail ? nullptr : calloc(count, size);
}
void *c_realloc(void *pointer, uint32_t size, void *context) {
  auto *c = static_cast<Counter *>(context);
  ++c->realloc_calls, c->last_size = size;
  return c->fail ? nullptr : realloc(pointer, size);
}
void c_free(void *pointer, void *context) {
  ++static_cast<Counter *>(context)->free_calls;
  free(pointer);
}

class AllocTest : public testing::Test {
 protected:
  void TearDown() override { std_alloc_set(nullptr); }
  Counter counter = {};
  AllocMethods table = {c_malloc, c_calloc, c_realloc, c_free, &counter};
  AllocMethods empty = {nullptr, nullptr, nullptr, nullptr, &counter};
};

TEST_F(AllocTest, ZeroSizesAndMissingFunctionsCallNothing) {
  for (AllocMethods *m : {&table, &empty}) {
    EXPECT_EQ(std_malloc(m, 0), nullptr);
    EXPECT_EQ(std_calloc(m, 0, 8), nullptr);
    EXPECT_EQ(std_calloc(m, 8, 0), nullptr);
    EXPECT_EQ(std_realloc(m, nullptr, 0), nullptr);
    EXPECT_EQ(std_free(m, nullptr), nullptr);
  }
  EXPECT_EQ(std_malloc(&empty, 8), nullptr);
  EXPECT_EQ(std_calloc(&empty, 1, 8), nullptr);
  char block[4];
  EXPECT_EQ(std_realloc(&empty, block, 8), nullptr);  // block untouched
  EXPECT_EQ(std_free(&empty, block), nullptr);
  EXPECT_EQ(counter.malloc_calls + counter.calloc_calls +
                counter.realloc_calls + counter.free_calls,
            0);
  EXPECT_EQ(std_malloc(nullptr, 0), nullptr);
}

TEST_F(AllocTest, CallsPassSizeAndContext) {
  void *p = std_malloc(&table, 8);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(counter.last_size, 8u);
  p = std_realloc(&table, p, 100);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(counter.realloc_calls, 1);
  EXPECT_EQ(counter.last_size, 100u);
  EXPECT_EQ(std_realloc(&table, p, 0), nullptr);  // frees
  EXPECT_EQ(counter.free_calls, 1);
  p = std_realloc(&table, nullptr, 10);  // allocates
  EXPECT_EQ(counter.malloc_calls, 2);
  EXPECT_EQ(std_free(&table, p), nullptr);
  auto *z = static_cast<unsigned char *>(std_calloc(&table, 3, 5));
  ASSERT_NE(z, nullptr);
  EXPECT_EQ(counter.last_size, 15u);
  for (int i = 0; i < 15; ++i) EXPECT_EQ(z[i], 0);
  std_free(&table, z);
  EXPECT_EQ(counter.free_calls, 3);
}

TEST_F(AllocTest, FailuresReturnNullAndKeepTheOldBlock) {
  char *p = static_cast<char *>(std_malloc(&table, 4));
  memcpy(p, "abc", 4);
  counter.fail = true;
  EXPECT_EQ(std_malloc(&table, 4), nullptr);
  EXPECT_EQ(std_calloc(&table, 1, 4), nullptr);
  EXPECT_EQ(std_realloc(&table, p, 64), nullptr);
  EXPECT_STREQ(p, "abc");
  EXPECT_EQ(std_strdup(&table, "x"), nullptr);
  std_free(&table, p);
}

TEST_F(AllocTest, DefaultTableIsReplaceable) {
  EXPECT_EQ(Default_Methods, &System_Defaults);
  std_alloc_set(&table);
  EXPECT_EQ(Default_Methods, &table);
  void *p = std_malloc(nullptr, 8);
  EXPECT_EQ(counter.malloc_calls, 1);
  EXPECT_EQ(counter.last_size, 8u);
  std_free(nullptr, p);
  char *copy = std_strdup(nullptr, "key");
  EXPECT_STREQ(copy, "key");
  EXPECT_EQ(counter.last_size, 4u);
  std_free(nullptr, copy);
  EXPECT_EQ(counter.free_calls, 2);
  std_alloc_set(nullptr);
  EXPECT_EQ(Default_Methods, &System_Defaults);
  std_free(nullptr, std_malloc(nullptr, 8));
  EXPECT_EQ(counter.malloc_calls, 2);
}

}  // namespace
