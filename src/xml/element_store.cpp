#include "xml/element_store.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace ostrel::xml {
// Records are not cleared: a record means something only once its taker has written it.
ElementRecord* ElementStore::NewBlock(int32_t records) {
  if (records <= kInlineRecords && !inline_block_in_use_) {
    inline_block_in_use_ = true;
    return inline_block_;
  }
  return new ElementRecord[records];
}

void ElementStore::ReleaseBlock(ElementRecord* block) {
  if (block == inline_block_) {
    inline_block_in_use_ = false;
  } else {
    delete[] block;
  }
}

void ElementStore::ReleaseSegmentArray() {
  if (segments_ != inline_slots_) delete[] segments_;
  segments_ = nullptr;
}

void ElementStore::Release() {
  int32_t in_use = SegmentsInUse();
  for (int32_t s = 0; s < in_use; ++s) ReleaseBlock(segments_[s]);
  ReleaseSegmentArray();
}

int32_t ElementStore::GrownCapacity(int32_t cap, int32_t requested, int32_t used) {
  if (requested == 0) requested = used + (used >> 1);
  if (cap >= requested) return cap;
  const int32_t old_last = cap > 0 ? (cap - 1) >> kSegmentShift : 0;
  // At most one new segment per call, and that one full.
  if (((requested - 1) >> kSegmentShift) > old_last + 1) return (old_last + 2) * kSegmentRecords;
  return requested;
}

void ElementStore::Grow(int32_t requested, int32_t used) {
  const int32_t cap = capacity_;
  const bool by_half = requested == 0;
  requested = GrownCapacity(cap, requested, used);
  // Segment 0's block is filled before it is moved.
  if (by_half && cap < first_room_ && requested > first_room_) requested = first_room_;
  if (cap >= requested) return;

  const int32_t old_last = cap > 0 ? (cap - 1) >> kSegmentShift : 0;
  const int32_t new_last = (requested - 1) >> kSegmentShift;

  if (segment_slots_ <= new_last) {
    const int32_t slots = 2 * new_last + 4;
    ElementRecord** array =
        slots <= kInlineSlots && segments_ == nullptr ? inline_slots_ : new ElementRecord*[slots];
    int32_t in_use = SegmentsInUse();
    if (in_use > 0) std::memcpy(array, segments_, sizeof(ElementRecord*) * in_use);
    ReleaseSegmentArray();
    segments_ = array;
    segment_slots_ = slots;
  }

  const int32_t in_old = cap - old_last * kSegmentRecords;
  const bool first_has_room = cap > 0 && old_last == 0;  // segment 0's block may hold more
  if (new_last > old_last && in_old < kSegmentRecords &&
      !(first_has_room && first_room_ >= kSegmentRecords)) {
    // The old last segment becomes full before a segment is added behind it.
    ElementRecord* full = NewBlock(kSegmentRecords);
    if (in_old > 0) {
      std::memcpy(full, segments_[old_last], sizeof(ElementRecord) * in_old);
      ReleaseBlock(segments_[old_last]);
    }
    segments_[old_last] = full;
    if (old_last == 0) first_room_ = kSegmentRecords;
    // Until capacity is raised the full block still serves the old capacity.
  }

  // Growth within the room segment 0's block already has moves nothing.
  if (first_has_room && new_last == 0 && requested <= first_room_) {
    capacity_ = requested;
    return;
  }
  const int32_t records = requested - new_last * kSegmentRecords;
  ElementRecord* block = NewBlock(records);
  if (new_last == old_last && in_old > 0) {
    std::memcpy(block, segments_[old_last], sizeof(ElementRecord) * in_old);
    ReleaseBlock(segments_[old_last]);
  }
  segments_[new_last] = block;
  if (new_last == 0) first_room_ = block == inline_block_ ? kInlineRecords : records;
  capacity_ = requested;
}

void ElementStore::ReserveForGrowth(int32_t requested, int32_t records) {
  const int64_t with_margin = int64_t{records} + (records >> kRoomMarginShift);
  const int64_t room = std::max<int64_t>(requested, with_margin);
  ReserveFirstSegment(static_cast<int32_t>(std::min<int64_t>(room, kSegmentRecords)));
}

void ElementStore::ReserveFirstSegment(int32_t records) {
  if (capacity_ == 0 || capacity_ > kSegmentRecords || records <= first_room_) return;
  ElementRecord* block = NewBlock(records);
  std::memcpy(block, segments_[0], sizeof(ElementRecord) * capacity_);
  ReleaseBlock(segments_[0]);
  segments_[0] = block;
  first_room_ = records;
}

void ElementStore::CopyFrom(const ElementStore& other, int32_t used) {
  while (capacity_ < other.capacity_) EnsureCapacity(other.capacity_, capacity_);
  for (int32_t first = 0; first < used; first += kSegmentRecords) {
    const int32_t count = std::min(used - first, kSegmentRecords);
    std::memcpy(&At(first), &other.At(first), sizeof(ElementRecord) * count);
  }
}

}  // namespace ostrel::xml
