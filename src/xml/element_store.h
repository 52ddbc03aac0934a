// The segmented store of element records. Segment s holds records s * 65536 to s * 65536 + 65535;
// only a partly filled last segment is ever copied, so a record index stays valid across growth.
#pragma once

#include <cstdint>

#include "xml/element_record.h"

namespace ostrel::xml {

class ElementStore {
 public:
  static constexpr int kSegmentShift = 16;
  static constexpr int32_t kSegmentRecords = int32_t{1} << kSegmentShift;
  static constexpr int32_t kInSegmentMask = kSegmentRecords - 1;

  // The first record of record i's segment.
  static constexpr int32_t FirstOfSegment(int32_t i) { return i & ~kInSegmentMask; }

  ElementStore() = default;
  ~ElementStore() {
    // A small store's segment array and block are its own: nothing goes back to the heap.
    if (capacity_ > 0 && capacity_ <= kInlineRecords && segments_ == inline_slots_ &&
        segments_[0] == inline_block_)
      return;
    Release();
  }
  ElementStore(const ElementStore&) = delete;
  ElementStore& operator=(const ElementStore&) = delete;

  // No bounds check: callers pass record 0 or an index below the records in use.
  ElementRecord& At(int32_t index) {
    return segments_[index >> kSegmentShift][index & kInSegmentMask];
  }
  const ElementRecord& At(int32_t index) const {
    return segments_[index >> kSegmentShift][index & kInSegmentMask];
  }

  // Grows to at least `requested` records (0: half as many again as `used`, but no further than
  // the room segment 0's block already has, when it has more than the capacity), by at most one
  // new segment per call. A failed allocation throws std::bad_alloc and leaves the old capacity.
  void EnsureCapacity(int32_t requested, int32_t used) {
    if (requested != 0 && requested <= capacity_) return;
    // Within the room segment 0's block already has: nothing moves.
    if (requested > 0 && capacity_ > 0 && requested <= first_room_) {
      capacity_ = requested;
      return;
    }
    // A new store's first records: its own segment array and block.
    if (segments_ == nullptr && requested > 0 && requested <= kInlineRecords) {
      UseInlineBlock(requested);
      return;
    }
    Grow(requested, used);
  }

  // Gives segment 0's block room for about `records` records (a sixteenth more, for an estimate's
  // error; a full segment at most), and for a request of `requested`, without raising the
  // capacity: growth then fills that room and moves nothing. For a caller that knows about how
  // many records it will take.
  void ReserveForGrowth(int32_t requested, int32_t records);

  // Takes the capacity of `other` and a copy of its first `used` records; for a new store.
  void CopyFrom(const ElementStore& other, int32_t used);

  int32_t Capacity() const { return capacity_; }
  int32_t SegmentSlots() const { return segment_slots_; }
  int32_t SegmentsInUse() const {
    return capacity_ > 0 ? ((capacity_ - 1) >> kSegmentShift) + 1 : 0;
  }
  const ElementRecord* Segment(int32_t s) const { return segments_[s]; }

 private:
  // A small document's store needs no heap: the first segment array (4 slots) and a first
  // block of up to 128 records live inside the store until growth replaces them.
  static constexpr int32_t kInlineSlots = 4;
  static constexpr int32_t kInlineRecords = 128;
  // Reserved room exceeds an estimate of the records by this share (1 / 2^shift).
  static constexpr int kRoomMarginShift = 4;
  void Grow(int32_t requested, int32_t used);
  void Release();
  // The capacity Grow gives for a request, from the capacity cap (requested 0: grow by half).
  static int32_t GrownCapacity(int32_t cap, int32_t requested, int32_t used);
  void ReserveFirstSegment(int32_t records);
  void UseInlineBlock(int32_t records) {
    inline_block_in_use_ = true;
    inline_slots_[0] = inline_block_;
    segments_ = inline_slots_;
    segment_slots_ = kInlineSlots;
    first_room_ = kInlineRecords;
    capacity_ = records;
  }
  ElementRecord* NewBlock(int32_t records);
  void ReleaseBlock(ElementRecord* block);
  void ReleaseSegmentArray();

  ElementRecord** segments_ = nullptr;
  int32_t capacity_ = 0;
  int32_t segment_slots_ = 0;
  int32_t first_room_ = 0;  // records segment 0's block has room for
  bool inline_block_in_use_ = false;
  ElementRecord* inline_slots_[kInlineSlots];
  ElementRecord inline_block_[kInlineRecords];
};

}  // namespace ostrel::xml
