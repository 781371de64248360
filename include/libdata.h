// Linked queue: a circular doubly linked queue whose links live inside the
// queued objects, with optional callbacks. No operation allocates.
#pragma once

#include <cstdint>

struct QueueHeader;

// The link record carried by every queueable object.
struct QueueElement {
  QueueElement *next;
  QueueElement *prev;
  QueueHeader *queue;  // the queue the element is in; null while in none
  void *data;          // the object that carries the element
};

struct QueueMethods;

// The head of one queue. It begins with its anchor, so a header's address
// is also a QueueElement's; the anchor's `queue` is null and its `data` is
// the header.
struct QueueHeader {
  QueueElement anchor;
  int32_t count;
  int32_t high_water;
  void *user_data;
  QueueMethods *methods;
};

using QueueCompare = int (*)(QueueElement *a, QueueElement *b, void *arg);
using QueueApply = int (*)(QueueElement *element, void *arg);

// Callbacks; any may be null. The first four return 0 for failure.
struct QueueMethods {
  int (*create)(QueueHeader *header);
  int (*destroy)(QueueHeader *header);
  int (*insert)(QueueElement *element);
  int (*remove)(QueueElement *element);
  int (*sort)(QueueHeader *header, QueueCompare compare, void *arg);
};

// Initialises an empty queue. Null when the create callback failed (the
// header is then destroyed, running the destroy callback).
QueueHeader *queue_create(QueueHeader *header, void *user_data,
                          QueueMethods *methods);
// Removes every element first to last, clears the header (keeping
// high_water and user_data) and runs the destroy callback, whose result it
// returns; else 0 if a removal failed, else 1. Null header: 1.
int queue_destroy(QueueHeader *header);
// Prepares an element: links and queue null, data set.
QueueElement *queue_init(QueueElement *element, void *data);
// Links `element` right before `position` (a header appends at the tail).
// A queued element is moved without callbacks. Null when the insert
// callback failed (the element is then removed again).
QueueElement *queue_insert(QueueElement *position, QueueElement *element);
inline QueueElement *queue_insert(QueueHeader *header, QueueElement *element) {
  return queue_insert(&header->anchor, element);
}
// Unlinks the element; 1 for an element in no queue (no callback), else
// the remove callback's result or 1.
int queue_remove(QueueElement *element);
// Calls function on each element first to last until one returns 0.
// Returns the last result, 1 for an empty queue.
int queue_apply(QueueHeader *header, QueueApply function, void *arg);
// Stable ascending insertion sort, or the sort callback instead.
void queue_sort(QueueHeader *header, QueueCompare compare, void *arg);
// Ready-made destroy / remove callbacks freeing user_data / data with
// std_free and the default methods. Both return 1.
int queue_free_header(QueueHeader *header);
int queue_free_element(QueueElement *element);

inline QueueElement *queue_first(QueueHeader *header) {
  if (header == nullptr || header->anchor.next == &header->anchor)
    return nullptr;
  return header->anchor.next;
}
inline QueueElement *queue_next(QueueElement *element) {
  if (element == nullptr || element->queue == nullptr ||
      element->next == &element->queue->anchor)
    return nullptr;
  return element->next;
}
inline QueueElement *queue_prev(QueueElement *element) {
  if (element == nullptr || element->queue == nullptr ||
      element->prev == &element->queue->anchor)
    return nullptr;
  return element->prev;
}
inline void *queue_data(QueueElement *element) {
  return element == nullptr ? nullptr : element->data;
}
