#include "heap_meter.h"

#include <malloc.h>

#include <cerrno>
#include <cstring>

// glibc's own entry points, which the replacements below forward to.
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* block);
}

namespace {

// One thread allocates in these programs; plain counters keep the hooks cheap.
std::int64_t inUse = 0;
std::int64_t peak = 0;

inline void Added(void* block) {
  if (block == nullptr) return;
  inUse += static_cast<std::int64_t>(malloc_usable_size(block));
  if (inUse > peak) peak = inUse;
}

inline void Removed(void* block) {
  if (block != nullptr) inUse -= static_cast<std::int64_t>(malloc_usable_size(block));
}

}  // namespace

namespace ostrel::bench {
std::int64_t HeapInUse() { return inUse; }
void ResetHeapPeak() { peak = inUse; }
std::int64_t HeapPeak() { return peak; }
}  // namespace ostrel::bench

extern "C" {

void* malloc(std::size_t size) {
  void* block = __libc_malloc(size);
  Added(block);
  return block;
}

void* calloc(std::size_t count, std::size_t size) {
  void* block = __libc_calloc(count, size);
  Added(block);
  return block;
}

void* realloc(void* block, std::size_t size) {
  Removed(block);
  void* moved = __libc_realloc(block, size);
  if (moved != nullptr) {
    Added(moved);
  } else if (size != 0) {
    Added(block);  // failed: the old block stays
  }
  return moved;
}

void free(void* block) {
  Removed(block);
  __libc_free(block);
}

void* memalign(std::size_t alignment, std::size_t size) {
  void* block = __libc_memalign(alignment, size);
  Added(block);
  return block;
}

void* aligned_alloc(std::size_t alignment, std::size_t size) { return memalign(alignment, size); }

int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
  void* block = memalign(alignment, size);
  if (block == nullptr) return ENOMEM;
  *out = block;
  return 0;
}

}  // extern "C"
