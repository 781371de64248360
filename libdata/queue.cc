// Circular doubly linked queue whose links live in the queued objects.
#include <cstring>

#include "libdata.h"
#include "libstd.h"

QueueHeader *queue_create(QueueHeader *header, void *user_data,
                          QueueMethods *methods) {
  memset(static_cast<void *>(header), 0, sizeof *header);
  header->anchor.next = &header->anchor;
  header->anchor.prev = &header->anchor;
  header->anchor.data = header;
  header->user_data = user_data;
  header->methods = methods;
  if (methods != nullptr && methods->create != nullptr &&
      methods->create(header) == 0) {
    queue_destroy(header);
    return nullptr;
  }
  return header;
}

int queue_destroy(QueueHeader *header) {
  if (header == nullptr) return 1;
  int32_t high_water = header->high_water;
  void *user_data = header->user_data;
  QueueMethods *methods = header->methods;
  int result = 1;
  // A destroyed header has no ring left to walk.
  if (header->anchor.next != nullptr)
    while (header->anchor.next != &header->anchor)
      if (queue_remove(header->anchor.next) == 0) result = 0;
  memset(static_cast<void *>(header), 0, sizeof *header);
  header->high_water = high_water;
  header->user_data = user_data;
  if (methods != nullptr && methods->destroy != nullptr)
    return methods->destroy(header);
  return result;
}

QueueElement *queue_init(QueueElement *element, void *data) {
  element->next = nullptr;
  element->prev = nullptr;
  element->queue = nullptr;
  element->data = data;
  return element;
}

QueueElement *queue_insert(QueueElement *position, QueueElement *element) {
  // A position outside any ring (an unqueued element or a destroyed header)
  // names no queue to insert into.
  if (position->next == nullptr) return nullptr;
  QueueHeader *target = position->queue != nullptr
                            ? position->queue
                            : static_cast<QueueHeader *>(position->data);
  bool was_queued = element->queue != nullptr;
  if (was_queued) {
    if (position->prev == element || position == element) return element;
    element->prev->next = element->next;
    element->next->prev = element->prev;
    element->queue->count--;
  }
  element->queue = target;
  element->prev = position->prev;
  element->next = position;
  position->prev->next = element;
  position->prev = element;
  if (++target->count > target->high_water) target->high_water = target->count;
  QueueMethods *methods = target->methods;
  if (!was_queued && methods != nullptr && methods->insert != nullptr &&
      methods->insert(element) == 0) {
    queue_remove(element);
    return nullptr;
  }
  return element;
}

int queue_remove(QueueElement *element) {
  if (element == nullptr || element->queue == nullptr) return 1;
  QueueHeader *queue = element->queue;
  element->prev->next = element->next;
  element->next->prev = element->prev;
  queue->count--;
  queue_init(element, element->data);
  if (queue->methods != nullptr && queue->methods->remove != nullptr)
    return queue->methods->remove(element);
  return 1;
}

int queue_apply(QueueHeader *header, QueueApply function, void *arg) {
  QueueElement *anchor = &header->anchor;
  if (anchor->next == anchor || anchor->next == nullptr) return 1;
  int result = 1;
  QueueElement *element = anchor->next;
  for (;;) {
    // Read first: the function may remove or free the element it is given.
    QueueElement *next = element->next;
    result = function(element, arg);
    if (result == 0 || next == anchor) break;
    element = next;
  }
  return result;
}

void queue_sort(QueueHeader *header, QueueCompare compare, void *arg) {
  if (header->methods != nullptr && header->methods->sort != nullptr) {
    header->methods->sort(header, compare, arg);
    return;
  }
  QueueElement *anchor = &header->anchor;
  if (anchor->next == nullptr) return;
  QueueElement *element = anchor->next->next;
  while (element != anchor) {
    QueueElement *next = element->next;
    QueueElement *after = element->prev;
    while (after != anchor && compare(after, element, arg) > 0)
      after = after->prev;
    queue_insert(after->next, element);
    element = next;
  }
}

int queue_free_header(QueueHeader *header) {
  if (header != nullptr) std_free(nullptr, header->user_data);
  return 1;
}

int queue_free_element(QueueElement *element) {
  if (element != nullptr) std_free(nullptr, element->data);
  return 1;
}
