// The segmented store of element records. Segment s holds records s * 65536 to s * 65536 + 65535;
// only a partly filled last segment is ever copied, so a record index stays valid across growth.
#pragma once

#include <cstdint>

#include "xml/element_record.h"

namespace ostrel::xml {

class ElementStore {
 public:
  static constexpr int SegmentShift = 16;
  static constexpr int32_t SegmentRecords = int32_t{1} << SegmentShift;
  static constexpr int32_t InSegmentMask = SegmentRecords - 1;

  // The first record of record i's segment.
  static constexpr int32_t FirstOfSegment(int32_t i) { return i & ~InSegmentMask; }

  ElementStore() = default;
  ~ElementStore();
  ElementStore(const ElementStore&) = delete;
  ElementStore& operator=(const ElementStore&) = delete;

  // No bounds check: callers pass record 0 or an index below the records in use.
  ElementRecord& At(int32_t index) {
    return segments_[index >> SegmentShift][index & InSegmentMask];
  }
  const ElementRecord& At(int32_t index) const {
    return segments_[index >> SegmentShift][index & InSegmentMask];
  }

  // Grows to at least `requested` records (0: half as many again as `used`), by at most one new
  // segment per call. A failed allocation throws std::bad_alloc and leaves the old capacity.
  void EnsureCapacity(int32_t requested, int32_t used) {
    if (requested == 0 || requested > capacity_) Grow(requested, used);
  }

  int32_t Capacity() const { return capacity_; }
  int32_t SegmentSlots() const { return segmentSlots_; }
  int32_t SegmentsInUse() const {
    return capacity_ > 0 ? ((capacity_ - 1) >> SegmentShift) + 1 : 0;
  }
  const ElementRecord* Segment(int32_t s) const { return segments_[s]; }

 private:
  // A small document's store needs no heap: the first segment array (4 slots) and a first
  // block of up to 32 records live inside the store until growth replaces them.
  static constexpr int32_t InlineSlots = 4;
  static constexpr int32_t InlineRecords = 32;
  void Grow(int32_t requested, int32_t used);
  ElementRecord* NewBlock(int32_t records);
  void ReleaseBlock(ElementRecord* block);
  void ReleaseSegmentArray();

  ElementRecord** segments_ = nullptr;
  int32_t capacity_ = 0;
  int32_t segmentSlots_ = 0;
  bool inlineBlockInUse_ = false;
  ElementRecord* inlineSlots_[InlineSlots];
  ElementRecord inlineBlock_[InlineRecords];
};

}  // namespace ostrel::xml
