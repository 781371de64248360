#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "libdata.h"
#include "libstd.h"

namespace {

struct Item {
  char id;
  int key;
  QueueElement link;
};
char id(QueueElement *e) { return static_cast<Item *>(e->data)->id; }

// Callbacks that count (recording the ids they remove) and fail on request.
struct Calls {
  int create, destroy, insert, sort;
  bool fail_create, fail_destroy, fail_insert, fail_remove;
  std::string removed;
} calls;
int on_create(QueueHeader *) { return ++calls.create, !calls.fail_create; }
int on_destroy(QueueHeader *) { return ++calls.destroy, !calls.fail_destroy; }
int on_insert(QueueElement *) { return ++calls.insert, !calls.fail_insert; }
int on_remove(QueueElement *e) {
  EXPECT_TRUE(e->queue == nullptr && e->next == nullptr && e->prev == nullptr);
  return calls.removed += id(e), !calls.fail_remove;
}
int on_sort(QueueHeader *, QueueCompare, void *) { return ++calls.sort; }
QueueMethods counting = {on_create, on_destroy, on_insert, on_remove, nullptr};

int by_key(QueueElement *a, QueueElement *b, void *count) {
  ++*static_cast<int *>(count);
  return static_cast<Item *>(a->data)->key - static_cast<Item *>(b->data)->key;
}

// Checks every link, membership, count and high water; the ids in order.
std::string order(QueueHeader *h) {
  std::string ids;
  for (QueueElement *l = h->anchor.next;; l = l->next) {
    EXPECT_TRUE(l->next->prev == l && l->prev->next == l);
    if (l == &h->anchor) break;
    EXPECT_EQ(l->queue, h);
    ids += id(l);
  }
  EXPECT_EQ(h->count, static_cast<int32_t>(ids.size()));
  EXPECT_GE(h->high_water, h->count);
  return ids;
}

// x holds a, b, c; y holds d; e is in no queue.
struct QueueTest : testing::Test {
  void SetUp() override {
    queue_create(&x, nullptr, &counting), queue_create(&y, nullptr, &counting);
    for (int i = 0; i < 5; ++i)
      items[i].id = 'a' + i, queue_init(&items[i].link, &items[i]);
    for (int i = 0; i < 4; ++i) queue_insert(i < 3 ? &x : &y, &items[i].link);
    calls = {};
  }
  QueueElement *at(char c) {
    return c == 'X' ? &x.anchor : c == 'Y' ? &y.anchor : &items[c - 'a'].link;
  }
  QueueHeader x, y;
  Item items[5] = {};
};

TEST_F(QueueTest, InsertAndMove) {
  struct {
    char position, element;
    const char *x, *y;
    int inserts, x_high, y_high;
  } cases[] = {
      {'X', 'e', "abce", "d", 1, 4, 1}, {'a', 'e', "eabc", "d", 1, 4, 1},
      {'d', 'e', "abc", "ed", 1, 3, 2}, {'X', 'a', "bca", "d", 0, 3, 1},
      {'a', 'c', "cab", "d", 0, 3, 1},  {'b', 'a', "abc", "d", 0, 3, 1},
      {'b', 'b', "abc", "d", 0, 3, 1},  {'X', 'c', "abc", "d", 0, 3, 1},
      {'Y', 'a', "bc", "da", 0, 3, 2},  {'a', 'd', "dabc", "", 0, 4, 1},
  };
  for (auto &c : cases) {
    SetUp();
    SCOPED_TRACE(&c - cases);
    EXPECT_EQ(queue_insert(at(c.position), at(c.element)), at(c.element));
    EXPECT_EQ(order(&x), c.x);
    EXPECT_EQ(order(&y), c.y);
    EXPECT_EQ(calls.insert, c.inserts);
    EXPECT_EQ(calls.removed, "");
    EXPECT_EQ(x.high_water, c.x_high);
    EXPECT_EQ(y.high_water, c.y_high);
  }
}

TEST_F(QueueTest, FailingCallbacks) {
  calls.fail_insert = calls.fail_remove = true;
  EXPECT_EQ(queue_insert(&x, &items[4].link), nullptr);
  EXPECT_EQ(queue_remove(&items[1].link), 0);  // detached all the same
  EXPECT_EQ(queue_remove(&items[1].link), 1);  // in no queue: no callback
  EXPECT_EQ(queue_remove(nullptr), 1);
  EXPECT_EQ(calls.removed, "eb");
  EXPECT_EQ(order(&x), "ac");
  EXPECT_EQ(x.high_water, 4);
  EXPECT_EQ(items[4].link.queue, nullptr);
  EXPECT_EQ(queue_insert(&items[4].link, &items[0].link), nullptr);  // no ring
  QueueHeader h;
  calls.fail_create = true;
  EXPECT_EQ(queue_create(&h, nullptr, &counting), nullptr);
  EXPECT_EQ(calls.create + calls.destroy, 2);
}

TEST_F(QueueTest, Destroy) {
  struct {
    QueueMethods methods;
    bool fail_remove, fail_destroy;
    int result;
  } cases[] = {
      {{}, false, false, 1},
      {{nullptr, nullptr, nullptr, on_remove, nullptr}, true, false, 0},
      {counting, true, false, 1},  // the destroy callback's result wins
      {counting, false, true, 0},
  };
  for (auto &c : cases) {
    SetUp();
    x.methods = &c.methods, x.user_data = &y;
    calls.fail_remove = c.fail_remove, calls.fail_destroy = c.fail_destroy;
    EXPECT_EQ(queue_destroy(&x), c.result);
    EXPECT_EQ(calls.removed, c.methods.remove ? "abc" : "");
    EXPECT_EQ(calls.destroy, c.methods.destroy ? 1 : 0);
    EXPECT_TRUE(x.anchor.next == nullptr && x.count == 0 && !x.methods);
    EXPECT_TRUE(x.high_water == 3 && x.user_data == &y);
    EXPECT_EQ(items[0].link.queue, nullptr);
    EXPECT_EQ(queue_insert(&x, &items[4].link), nullptr);  // no ring
    EXPECT_EQ(queue_destroy(&x), 1);
  }
  EXPECT_EQ(queue_destroy(nullptr), 1);
}

TEST(Queue, Sort) {
  struct {
    std::vector<int> keys;
    const char *order;
    int comparisons;
  } cases[] = {
      {{}, "", 0},
      {{5}, "a", 0},
      {{1, 2, 3, 4}, "abcd", 3},
      {{4, 3, 2, 1}, "dcba", 6},
      {{2, 1, 2, 1, 2}, "bdace", 6},  // equal keys keep their order
  };
  for (auto &c : cases) {
    QueueHeader h;
    queue_create(&h, nullptr, &counting);
    Item items[5];
    for (size_t i = 0; i < c.keys.size(); ++i) {
      items[i] = {static_cast<char>('a' + i), c.keys[i], {}};
      queue_insert(&h, queue_init(&items[i].link, &items[i]));
    }
    calls = {};
    int comparisons = 0;
    queue_sort(&h, by_key, &comparisons);
    EXPECT_EQ(order(&h), c.order);
    EXPECT_EQ(comparisons, c.comparisons);
    EXPECT_EQ(h.high_water, static_cast<int32_t>(c.keys.size()));
    EXPECT_EQ(calls.insert + calls.removed.size(), 0u);
  }
  QueueMethods replaced = {nullptr, nullptr, nullptr, nullptr, on_sort};
  QueueHeader h;
  queue_sort(queue_create(&h, nullptr, &replaced), nullptr, nullptr);
  EXPECT_EQ(calls.sort, 1);
}

TEST_F(QueueTest, ApplyStopsAtZeroAndSurvivesRemoval) {
  std::string seen;
  auto visit = [](QueueElement *e, void *s) {
    return *static_cast<std::string *>(s) += id(e), id(e) == 'b' ? 0 : 7;
  };
  EXPECT_EQ(queue_apply(&x, visit, &seen), 0);
  EXPECT_EQ(queue_apply(&y, visit, &seen), 7);
  EXPECT_EQ(seen, "abd");
  EXPECT_EQ(queue_next(&items[2].link), nullptr);
  EXPECT_EQ(queue_prev(&items[0].link), nullptr);
  auto take = [](QueueElement *e, void *) { return queue_remove(e) + 1; };
  EXPECT_EQ(queue_apply(&x, take, nullptr), 2);
  EXPECT_EQ(calls.removed, "abc");
  EXPECT_EQ(queue_first(&x), nullptr);
  EXPECT_EQ(queue_apply(&x, nullptr, nullptr), 1);
}

// The ready-made callbacks free what the default allocator gave.
TEST(Queue, FreeCallbacks) {
  QueueMethods frees = {nullptr, queue_free_header, nullptr, queue_free_element,
                        nullptr};
  QueueHeader h;
  queue_create(&h, std_malloc(nullptr, 16), &frees);
  for (int i = 0; i < 3; ++i) {
    void *e = std_malloc(nullptr, sizeof(QueueElement));
    queue_insert(&h, queue_init(static_cast<QueueElement *>(e), e));
  }
  EXPECT_EQ(queue_remove(queue_first(&h)) + queue_destroy(&h), 2);
  EXPECT_EQ(queue_free_header(nullptr) + queue_free_element(nullptr), 2);
}

}  // namespace
