// Counting heap use in a benchmark program: every malloc, calloc, realloc, aligned allocation and
// free of the process (operator new included) goes through counters, so that the peak extra heap
// of one operation can be read for any library, whatever allocator interface it uses.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ostrel::bench {

// Bytes in use now (by usable size of each block).
std::int64_t HeapInUse();

// Starts a measurement: the peak is set to what is in use now.
void ResetHeapPeak();

// The highest HeapInUse() since the last ResetHeapPeak().
std::int64_t HeapPeak();

// Peak extra heap of one call of fn: its peak minus what was in use before it.
template <class Fn>
std::int64_t PeakExtraHeap(Fn&& fn) {
  const std::int64_t before = HeapInUse();
  ResetHeapPeak();
  fn();
  return HeapPeak() - before;
}

}  // namespace ostrel::bench
