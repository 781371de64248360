#include <gtest/gtest.h>

#include <string>

#include "libdata.h"

namespace {

char names[] = "abcde";
char id(QueueElement *e) { return *static_cast<char *>(e->data); }

// Callbacks that log their calls and fail on request.
std::string calls;  // C create, D destroy, +id insert, -id remove, S sort
bool fail;
int on_create(QueueHeader *) { return calls += 'C', !fail; }
int on_destroy(QueueHeader *) { return calls += 'D', 1; }
int on_insert(QueueElement *e) { return calls += '+', calls += id(e), !fail; }
int on_remove(QueueElement *e) {
  EXPECT_TRUE(e->queue == nullptr && e->next == nullptr && e->prev == nullptr);
  return calls += '-', calls += id(e), !fail;
}
int on_sort(QueueHeader *, QueueCompare, void *) { return calls += 'S', 1; }
QueueMethods logging = {on_create, on_destroy, on_insert, on_remove, nullptr};

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
    fail = false;
    queue_create(&x, nullptr, &logging), queue_create(&y, nullptr, &logging);
    for (int i = 0; i < 5; ++i) queue_init(&links[i], names + i);
    for (int i = 0; i < 4; ++i) queue_insert(i < 3 ? &x : &y, &links[i]);
    calls.clear();
  }
  QueueElement *at(char c) {
    return c == 'X' ? &x.anchor : c == 'Y' ? &y.anchor : &links[c - 'a'];
  }
  // Each queue's ids and high water, then the callbacks' log.
  std::string state() {
    return order(&x) + std::to_string(x.high_water) + " " + order(&y) +
           std::to_string(y.high_water) + " " + calls;
  }
  QueueHeader x, y;
  QueueElement links[5];
};

TEST_F(QueueTest, InsertAndMove) {
  // position, element: the state afterwards
  for (const char *c :
       {"Xe abce4 d1 +e", "de abc3 ed2 +e", "ac cab3 d1 ", "ba abc3 d1 ",
        "bb abc3 d1 ", "Ya bc3 da2 ", "ad dabc4 1 "}) {
    SetUp();
    EXPECT_EQ(queue_insert(at(c[0]), at(c[1])), at(c[1]));
    EXPECT_EQ(state(), c + 3) << c;
  }
}

TEST_F(QueueTest, FailingCallbacks) {
  fail = true;
  EXPECT_EQ(queue_insert(&x, at('e')), nullptr);  // and taken out again
  EXPECT_EQ(queue_remove(at('b')), 0);            // detached all the same
  EXPECT_EQ(queue_remove(at('b')), 1);            // in no queue: no callback
  EXPECT_EQ(state(), "ac4 d1 +e-e-b");
  QueueHeader h;
  EXPECT_EQ(queue_create(&h, nullptr, &logging), nullptr);
  QueueMethods removing = {nullptr, nullptr, nullptr, on_remove, nullptr};
  y.methods = &removing, x.user_data = &y;
  EXPECT_EQ(queue_destroy(&y), 0);
  EXPECT_EQ(queue_destroy(&x), 1);  // the destroy callback's result wins
  EXPECT_EQ(calls, "+e-e-bCD-d-a-cD");
  EXPECT_TRUE(x.anchor.next == nullptr && x.count == 0 && !x.methods);
  EXPECT_TRUE(x.high_water == 4 && x.user_data == &y && !links[0].queue);
  EXPECT_EQ(queue_insert(&x, at('e')), nullptr);  // no ring left
  EXPECT_EQ(queue_destroy(&x), 1);
}

TEST_F(QueueTest, Sort) {
  queue_insert(&x, at('d')), queue_insert(&x, at('e'));
  int keys[] = {2, 1, 2, 1, 2};  // equal keys keep their order
  auto by_key = [](QueueElement *a, QueueElement *b, void *k) {
    return static_cast<int *>(k)[id(a) - 'a'] -
           static_cast<int *>(k)[id(b) - 'a'];
  };
  queue_sort(&x, by_key, keys), queue_sort(&y, by_key, keys);
  QueueMethods replaced = {nullptr, nullptr, nullptr, nullptr, on_sort};
  queue_sort(queue_create(&y, nullptr, &replaced), nullptr, nullptr);
  EXPECT_EQ(state(), "bdace5 0 +eS");
}

TEST_F(QueueTest, ApplyStopsAtZeroAndSurvivesRemoval) {
  auto take = [](QueueElement *e, void *) {
    return queue_remove(e), id(e) == 'b' ? 0 : 7;
  };
  EXPECT_EQ(queue_apply(&x, take, nullptr), 0);
  EXPECT_EQ(queue_apply(&y, take, nullptr), 7);
  EXPECT_EQ(queue_apply(&y, nullptr, nullptr), 1);
  EXPECT_EQ(state(), "c3 1 -a-b-d");
}

}  // namespace
