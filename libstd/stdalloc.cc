// Allocation through a replaceable table of allocator functions.
#include <cstdlib>

#include "libstd.h"

static void *default_malloc(uint32_t size, void *) { return malloc(size); }

static void *default_calloc(uint32_t count, uint32_t size, void *) {
  return calloc(count, size);
}

static void *default_realloc(void *pointer, uint32_t size, void *) {
  return realloc(pointer, size);
}

static void default_free(void *pointer, void *) { free(pointer); }

AllocMethods System_Defaults = {default_malloc, default_calloc, default_realloc,
                                default_free, nullptr};
AllocMethods *Default_Methods = &System_Defaults;

// The table a call means: its own, or the default at the moment of the call.
static AllocMethods *table(AllocMethods *methods) {
  return methods != nullptr ? methods : Default_Methods;
}

void std_alloc_set(AllocMethods *methods) {
  Default_Methods = methods != nullptr ? methods : &System_Defaults;
}

void *std_malloc(AllocMethods *methods, uint32_t size) {
  AllocMethods *m = table(methods);
  if (m->malloc_fn == nullptr || size == 0) return nullptr;
  return m->malloc_fn(size, m->context);
}

void *std_calloc(AllocMethods *methods, uint32_t count, uint32_t size) {
  AllocMethods *m = table(methods);
  if (m->calloc_fn == nullptr || count == 0 || size == 0) return nullptr;
  return m->calloc_fn(count, size, m->context);
}

void *std_realloc(AllocMethods *methods, void *pointer, uint32_t size) {
  if (pointer == nullptr) return std_malloc(methods, size);
  if (size == 0) return std_free(methods, pointer);
  AllocMethods *m = table(methods);
  if (m->realloc_fn == nullptr) return nullptr;
  return m->realloc_fn(pointer, size, m->context);
}

void *std_free(AllocMethods *methods, void *pointer) {
  AllocMethods *m = table(methods);
  if (m->free_fn != nullptr && pointer != nullptr)
    m->free_fn(pointer, m->context);
  return nullptr;
}
