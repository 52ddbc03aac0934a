#include "xml/element_store.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace ostrel::xml {
// Records are not cleared: a record means something only once its taker has written it.
ElementRecord* ElementStore::NewBlock(int32_t records) {
  if (records <= InlineRecords && !inlineBlockInUse_) {
    inlineBlockInUse_ = true;
    return inlineBlock_;
  }
  return new ElementRecord[records];
}

void ElementStore::ReleaseBlock(ElementRecord* block) {
  if (block == inlineBlock_) {
    inlineBlockInUse_ = false;
  } else {
    delete[] block;
  }
}

void ElementStore::ReleaseSegmentArray() {
  if (segments_ != inlineSlots_) delete[] segments_;
  segments_ = nullptr;
}

ElementStore::~ElementStore() {
  int32_t inUse = SegmentsInUse();
  for (int32_t s = 0; s < inUse; ++s) ReleaseBlock(segments_[s]);
  ReleaseSegmentArray();
}

int32_t ElementStore::GrownCapacity(int32_t cap, int32_t requested, int32_t used) {
  if (requested == 0) requested = used + (used >> 1);
  if (cap >= requested) return cap;
  const int32_t oldLast = cap > 0 ? (cap - 1) >> SegmentShift : 0;
  // At most one new segment per call, and that one full.
  if (((requested - 1) >> SegmentShift) > oldLast + 1) return (oldLast + 2) * SegmentRecords;
  return requested;
}

void ElementStore::Grow(int32_t requested, int32_t used) {
  const int32_t cap = capacity_;
  requested = GrownCapacity(cap, requested, used);
  if (cap >= requested) return;

  const int32_t oldLast = cap > 0 ? (cap - 1) >> SegmentShift : 0;
  const int32_t newLast = (requested - 1) >> SegmentShift;

  if (segmentSlots_ <= newLast) {
    const int32_t slots = 2 * newLast + 4;
    ElementRecord** array =
        slots <= InlineSlots && segments_ == nullptr ? inlineSlots_ : new ElementRecord*[slots];
    int32_t inUse = SegmentsInUse();
    if (inUse > 0) std::memcpy(array, segments_, sizeof(ElementRecord*) * inUse);
    ReleaseSegmentArray();
    segments_ = array;
    segmentSlots_ = slots;
  }

  const int32_t inOld = cap - oldLast * SegmentRecords;
  const bool firstHasRoom = cap > 0 && oldLast == 0;  // segment 0's block may hold more
  if (newLast > oldLast && inOld < SegmentRecords &&
      !(firstHasRoom && firstRoom_ >= SegmentRecords)) {
    // The old last segment becomes full before a segment is added behind it.
    ElementRecord* full = NewBlock(SegmentRecords);
    if (inOld > 0) {
      std::memcpy(full, segments_[oldLast], sizeof(ElementRecord) * inOld);
      ReleaseBlock(segments_[oldLast]);
    }
    segments_[oldLast] = full;
    if (oldLast == 0) firstRoom_ = SegmentRecords;
    // Until capacity is raised the full block still serves the old capacity.
  }

  // Growth within the room segment 0's block already has moves nothing.
  if (firstHasRoom && newLast == 0 && requested <= firstRoom_) {
    capacity_ = requested;
    return;
  }
  const int32_t records = requested - newLast * SegmentRecords;
  ElementRecord* block = NewBlock(records);
  if (newLast == oldLast && inOld > 0) {
    std::memcpy(block, segments_[oldLast], sizeof(ElementRecord) * inOld);
    ReleaseBlock(segments_[oldLast]);
  }
  segments_[newLast] = block;
  if (newLast == 0) firstRoom_ = block == inlineBlock_ ? InlineRecords : records;
  capacity_ = requested;
}

void ElementStore::ReserveForGrowth(int32_t requested, int32_t records, int32_t used) {
  int32_t cap = GrownCapacity(capacity_, requested, used);
  // Each growth comes when every record is in use.
  while (cap < records && cap < SegmentRecords) cap = GrownCapacity(cap, 0, cap);
  ReserveFirstSegment(cap);
}

void ElementStore::ReserveFirstSegment(int32_t records) {
  records = std::min(records, SegmentRecords);
  if (capacity_ == 0 || capacity_ > SegmentRecords || records <= firstRoom_) return;
  ElementRecord* block = NewBlock(records);
  std::memcpy(block, segments_[0], sizeof(ElementRecord) * capacity_);
  ReleaseBlock(segments_[0]);
  segments_[0] = block;
  firstRoom_ = records;
}

}  // namespace ostrel::xml
