#include <gtest/gtest.h>

#include <string>

#include "libdata.h"
#include "libstd.h"

namespace {

struct Item {
  char id;
  int key;
  QueueElement link;
};

// Counts every callback; each of the first four can be told to fail.
struct Calls {
  int create, destroy, insert, remove, sort;
  bool fail_create, fail_destroy, fail_insert, fail_remove;
  std::string removed;  // ids in the order the remove callback saw them
};
Calls calls;

int on_create(QueueHeader *) { return ++calls.create, !calls.fail_create; }
int on_destroy(QueueHeader *) { return ++calls.destroy, !calls.fail_destroy; }
int on_insert(QueueElement *) { return ++calls.insert, !calls.fail_insert; }
int on_remove(QueueElement *e) {
  EXPECT_EQ(e->queue, nullptr);
  EXPECT_EQ(e->next, nullptr);
  calls.removed += static_cast<Item *>(e->data)->id;
  return ++calls.remove, !calls.fail_remove;
}
int on_sort(QueueHeader *, QueueCompare, void *) { return ++calls.sort; }
QueueMethods counting = {on_create, on_destroy, on_insert, on_remove, nullptr};

int by_key(QueueElement *a, QueueElement *b, void *count) {
  ++*static_cast<int *>(count);
  return static_cast<Item *>(a->data)->key - static_cast<Item *>(b->data)->key;
}

// Checks the ring's links, membership, count and high water; returns the ids
// first to last.
std::string order(QueueHeader *h) {
  std::string ids;
  QueueElement *l = &h->anchor;
  do {
    EXPECT_EQ(l->next->prev, l);
    EXPECT_EQ(l->prev->next, l);
    if (l != &h->anchor) {
      EXPECT_EQ(l->queue, h);
      ids += static_cast<Item *>(l->data)->id;
    }
    l = l->next;
  } while (l != &h->anchor && ids.size() < 100);
  EXPECT_EQ(h->anchor.queue, nullptr);
  EXPECT_EQ(h->count, static_cast<int32_t>(ids.size()));
  EXPECT_GE(h->high_water, h->count);
  return ids;
}

void expect_unqueued(const Item &item) {
  EXPECT_EQ(item.link.next, nullptr);
  EXPECT_EQ(item.link.prev, nullptr);
  EXPECT_EQ(item.link.queue, nullptr);
  EXPECT_EQ(item.link.data, &item);
}

class QueueTest : public testing::Test {
 protected:
  // a, b, c in x; d in y; e in none.
  void SetUp() override {
    calls = {};
    ASSERT_EQ(queue_create(&x, nullptr, &counting), &x);
    ASSERT_EQ(queue_create(&y, nullptr, &counting), &y);
    for (int i = 0; i < 5; ++i)
      queue_init(&items[i].link, &items[i]), items[i].id = 'a' + i;
    for (int i = 0; i < 3; ++i) queue_insert(&x, &items[i].link);
    queue_insert(&y, &items[3].link);
    calls = {};
  }
  QueueElement *at(char c) {
    return c == 'X' ? &x.anchor : c == 'Y' ? &y.anchor : &items[c - 'a'].link;
  }
  QueueHeader x, y;
  Item items[5] = {};
};

TEST(Queue, FreshQueueIsEmpty) {
  QueueHeader h;
  ASSERT_EQ(queue_create(&h, &h, nullptr), &h);
  EXPECT_EQ(h.anchor.next, &h.anchor);
  EXPECT_EQ(h.anchor.prev, &h.anchor);
  EXPECT_EQ(h.anchor.data, &h);
  EXPECT_EQ(h.count, 0);
  EXPECT_EQ(h.high_water, 0);
  EXPECT_EQ(queue_first(&h), nullptr);
  EXPECT_EQ(queue_first(nullptr), nullptr);
  int n = 0;
  EXPECT_EQ(queue_apply(
                &h, [](QueueElement *, void *n) { return ++*(int *)n, 0; }, &n),
            1);
  queue_sort(&h, by_key, &n);
  EXPECT_EQ(n, 0);
}

TEST_F(QueueTest, InsertAndMove) {
  struct Case {
    char position, element;
    const char *x, *y;
    int inserts, x_high, y_high;
  } cases[] = {
      {'X', 'e', "abce", "d", 1, 4, 1},  // append at the tail
      {'a', 'e', "eabc", "d", 1, 4, 1},  // before the first
      {'d', 'e', "abc", "ed", 1, 3, 2},  // into the other queue
      {'X', 'a', "bca", "d", 0, 3, 1},   // first to last
      {'a', 'c', "cab", "d", 0, 3, 1},   // last to first
      {'b', 'a', "abc", "d", 0, 3, 1},   // already right before
      {'b', 'b', "abc", "d", 0, 3, 1},   // before itself
      {'X', 'c', "abc", "d", 0, 3, 1},   // already last
      {'Y', 'a', "bc", "da", 0, 3, 2},   // moved across, tail
      {'a', 'd', "dabc", "", 0, 4, 1},   // moved across, before
  };
  for (const Case &c : cases) {
    SetUp();
    SCOPED_TRACE(std::string(1, c.position) + c.element);
    EXPECT_EQ(queue_insert(at(c.position), at(c.element)), at(c.element));
    EXPECT_EQ(order(&x), c.x);
    EXPECT_EQ(order(&y), c.y);
    EXPECT_EQ(calls.insert, c.inserts);
    EXPECT_EQ(calls.remove, 0);
    EXPECT_EQ(x.high_water, c.x_high);
    EXPECT_EQ(y.high_water, c.y_high);
  }
}

TEST_F(QueueTest, FailedInsertLeavesElementOut) {
  calls.fail_insert = true;
  EXPECT_EQ(queue_insert(&x, &items[4].link), nullptr);
  expect_unqueued(items[4]);
  EXPECT_EQ(order(&x), "abc");
  EXPECT_EQ(x.high_water, 4);
  EXPECT_EQ(calls.insert, 1);
  EXPECT_EQ(calls.removed, "e");
}

TEST_F(QueueTest, InsertNeedsARing) {
  EXPECT_EQ(queue_insert(&items[4].link, &items[0].link), nullptr);
  EXPECT_EQ(order(&x), "abc");
}

TEST_F(QueueTest, Remove) {
  EXPECT_EQ(queue_remove(&items[1].link), 1);
  expect_unqueued(items[1]);
  EXPECT_EQ(order(&x), "ac");
  EXPECT_EQ(x.high_water, 3);
  EXPECT_EQ(queue_remove(&items[1].link), 1);  // in no queue: no callback
  EXPECT_EQ(queue_remove(nullptr), 1);
  EXPECT_EQ(calls.removed, "b");
  calls.fail_remove = true;
  EXPECT_EQ(queue_remove(&items[0].link), 0);  // detached all the same
  expect_unqueued(items[0]);
  EXPECT_EQ(order(&x), "c");
}

TEST_F(QueueTest, Destroy) {
  struct Case {
    QueueMethods methods;
    bool fail_remove, fail_destroy;
    int result, destroys;
  } cases[] = {
      {{}, false, false, 1, 0},
      {{nullptr, nullptr, nullptr, on_remove, nullptr}, true, false, 0, 0},
      {counting, true, false, 1, 1},  // the destroy result wins
      {counting, false, true, 0, 1},
  };
  int tag;
  for (const Case &c : cases) {
    SetUp();
    x.methods = const_cast<QueueMethods *>(&c.methods);
    x.user_data = &tag;
    calls.fail_remove = c.fail_remove;
    calls.fail_destroy = c.fail_destroy;
    EXPECT_EQ(queue_destroy(&x), c.result);
    EXPECT_EQ(calls.removed, c.methods.remove ? "abc" : "");
    EXPECT_EQ(calls.destroy, c.destroys);
    for (int i = 0; i < 3; ++i) expect_unqueued(items[i]);
    EXPECT_EQ(x.anchor.next, nullptr);
    EXPECT_EQ(x.anchor.prev, nullptr);
    EXPECT_EQ(x.count, 0);
    EXPECT_EQ(x.methods, nullptr);
    EXPECT_EQ(x.high_water, 3);
    EXPECT_EQ(x.user_data, &tag);
    // A destroyed header is no ring until created again.
    EXPECT_EQ(queue_insert(&x, &items[4].link), nullptr);
    EXPECT_EQ(queue_apply(&x, nullptr, nullptr), 1);
    EXPECT_EQ(queue_destroy(&x), 1);
    ASSERT_EQ(queue_create(&x, nullptr, nullptr), &x);
    EXPECT_EQ(queue_insert(&x, &items[4].link), &items[4].link);
    EXPECT_EQ(order(&x), "e");
  }
  EXPECT_EQ(queue_destroy(nullptr), 1);
}

TEST(Queue, FailedCreateDestroys) {
  QueueHeader h;
  calls = {};
  calls.fail_create = true;
  EXPECT_EQ(queue_create(&h, nullptr, &counting), nullptr);
  EXPECT_EQ(calls.create, 1);
  EXPECT_EQ(calls.destroy, 1);
  EXPECT_EQ(h.methods, nullptr);
}

TEST(Queue, Sort) {
  struct Case {
    std::vector<int> keys;
    const char *order;
    int comparisons;
  } cases[] = {
      {{}, "", 0},
      {{5}, "a", 0},
      {{1, 2, 3, 4, 5}, "abcde", 4},
      {{5, 4, 3, 2, 1}, "edcba", 10},
      {{2, 1, 2, 1, 2}, "bdace", 6},  // equal keys keep their order
      {{3, 1, 2}, "bca", 3},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.order);
    calls = {};
    QueueHeader h;
    queue_create(&h, nullptr, &counting);
    Item items[8];
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
    EXPECT_EQ(calls.insert + calls.remove, 0);
  }
}

TEST_F(QueueTest, SortCallbackReplacesSort) {
  QueueMethods methods = {nullptr, nullptr, nullptr, nullptr, on_sort};
  x.methods = &methods;
  items[0].key = 9;
  int comparisons = 0;
  queue_sort(&x, by_key, &comparisons);
  EXPECT_EQ(calls.sort, 1);
  EXPECT_EQ(comparisons, 0);
  EXPECT_EQ(order(&x), "abc");
}

TEST_F(QueueTest, ApplyAndAccessors) {
  std::string seen;
  auto visit = [](QueueElement *e, void *s) {
    *static_cast<std::string *>(s) += static_cast<Item *>(e->data)->id;
    return static_cast<Item *>(e->data)->id == 'b' ? 0 : 7;
  };
  EXPECT_EQ(queue_apply(&x, visit, &seen), 0);
  EXPECT_EQ(seen, "ab");
  EXPECT_EQ(queue_apply(&y, visit, &seen), 7);
  // A function that removes what it is given still sees every element.
  auto take = [](QueueElement *e, void *s) {
    *static_cast<std::string *>(s) += static_cast<Item *>(e->data)->id;
    return queue_remove(e);
  };
  EXPECT_EQ(queue_insert(&x, &items[4].link), &items[4].link);
  EXPECT_EQ(queue_first(&x), &items[0].link);
  EXPECT_EQ(queue_next(&items[0].link), &items[1].link);
  EXPECT_EQ(queue_prev(&items[1].link), &items[0].link);
  EXPECT_EQ(queue_next(&items[4].link), nullptr);
  EXPECT_EQ(queue_prev(&items[0].link), nullptr);
  EXPECT_EQ(queue_data(&items[2].link), &items[2]);
  EXPECT_EQ(queue_data(nullptr), nullptr);
  seen.clear();
  EXPECT_EQ(queue_apply(&x, take, &seen), 1);
  EXPECT_EQ(seen, "abce");
  EXPECT_EQ(order(&x), "");
  EXPECT_EQ(queue_next(&items[0].link), nullptr);
}

// The ready-made callbacks free what the default allocator gave.
TEST(Queue, FreeCallbacks) {
  QueueMethods methods = {nullptr, queue_free_header, nullptr,
                          queue_free_element, nullptr};
  QueueHeader h;
  queue_create(&h, std_malloc(nullptr, 16), &methods);
  for (int i = 0; i < 3; ++i) {
    auto *e =
        static_cast<QueueElement *>(std_malloc(nullptr, sizeof(QueueElement)));
    queue_insert(&h, queue_init(e, e));
  }
  EXPECT_EQ(queue_remove(queue_first(&h)), 1);
  EXPECT_EQ(queue_destroy(&h), 1);
  EXPECT_EQ(queue_free_header(nullptr), 1);
  EXPECT_EQ(queue_free_element(nullptr), 1);
}

}  // namespace
