#include <gtest/gtest.h>

#include <string>

#include "libdata.h"

namespace {

char names[] = "abcde";
char id(QueueElement *e) { return *static_cast<char *>(e->data); }

// The ids in order, walked both ways with every link and the count checked.
std::string order(QueueHeader *h) {
  std::string ids;
  QueueElement *last = nullptr;
  for (QueueElement *l = queue_first(h); l; last = l, l = queue_next(l)) {
    EXPECT_TRUE(l->queue == h && l->next->prev == l && l->prev->next == l);
    EXPECT_EQ(queue_prev(l), last);
    ids += id(l);
  }
  EXPECT_EQ(h->anchor.prev, last ? last : &h->anchor);
  EXPECT_EQ(h->count, static_cast<int32_t>(ids.size()));
  return ids;
}

// x holds a, b, c; y holds d; e is in no queue.
struct QueueTest : testing::Test {
  void SetUp() override {
    queue_create(&x, nullptr, nullptr), queue_create(&y, nullptr, nullptr);
    for (int i = 0; i < 5; ++i) queue_init(&links[i], names + i);
    for (int i = 0; i < 4; ++i) queue_insert(i < 3 ? &x : &y, &links[i]);
  }
  QueueElement *at(char c) {
    return c == 'X' ? &x.anchor : c == 'Y' ? &y.anchor : &links[c - 'a'];
  }
  // Each queue's ids and high water.
  std::string state() {
    return order(&x) + std::to_string(x.high_water) + " " + order(&y) +
           std::to_string(y.high_water);
  }
  QueueHeader x, y;
  QueueElement links[5];
};

// Position, element: the state afterwards.
TEST_F(QueueTest, InsertAndMove) {
  for (const char *c : {"Xe abce4 d1", "de abc3 ed2", "ac cab3 d1",
                        "bb abc3 d1", "Ya bc3 da2", "ad dabc4 1"}) {
    SetUp();
    EXPECT_EQ(queue_insert(at(c[0]), at(c[1])), at(c[1]));
    EXPECT_EQ(state(), c + 3) << c;
  }
}

// Equal keys keep their order; apply stops where the function gives 0, and
// the function may take its element out.
TEST_F(QueueTest, SortAndApply) {
  queue_insert(&x, at('d')), queue_insert(&x, at('e'));
  int keys[] = {2, 1, 2, 1, 2};
  queue_sort(
      &x,
      [](QueueElement *a, QueueElement *b, void *k) {
        return static_cast<int *>(k)[id(a) - 'a'] -
               static_cast<int *>(k)[id(b) - 'a'];
      },
      keys);
  EXPECT_EQ(state(), "bdace5 1");
  auto take = [](QueueElement *e, void *) {
    return queue_remove(e), id(e) == 'a' ? 0 : 7;
  };
  EXPECT_EQ(queue_apply(&x, take, nullptr), 0);
  EXPECT_EQ(state(), "ce5 1");
}

}  // namespace
