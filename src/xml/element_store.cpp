#include "xml/element_store.h"

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

void ElementStore::Grow(int32_t requested, int32_t used) {
  if (requested == 0) requested = used + (used >> 1);
  const int32_t cap = capacity_;
  if (cap >= requested) return;

  const int32_t oldLast = cap > 0 ? (cap - 1) >> SegmentShift : 0;
  int32_t newLast = (requested - 1) >> SegmentShift;
  if (newLast > oldLast + 1) {
    // At most one new segment per call, and that one full.
    newLast = oldLast + 1;
    requested = (oldLast + 2) * SegmentRecords;
  }

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
  if (newLast > oldLast && inOld < SegmentRecords) {
    // The old last segment becomes full before a segment is added behind it.
    ElementRecord* full = NewBlock(SegmentRecords);
    if (inOld > 0) {
      std::memcpy(full, segments_[oldLast], sizeof(ElementRecord) * inOld);
      ReleaseBlock(segments_[oldLast]);
    }
    segments_[oldLast] = full;
    // Until capacity is raised the full block still serves the old capacity.
  }

  // The inline block has room beyond a new document's 8 records: growing within it moves
  // nothing.
  if (cap > 0 && newLast == 0 && segments_[0] == inlineBlock_ && requested <= InlineRecords) {
    capacity_ = requested;
    return;
  }
  ElementRecord* block = NewBlock(requested - newLast * SegmentRecords);
  if (newLast == oldLast && inOld > 0) {
    std::memcpy(block, segments_[oldLast], sizeof(ElementRecord) * inOld);
    ReleaseBlock(segments_[oldLast]);
  }
  segments_[newLast] = block;
  capacity_ = requested;
}

}  // namespace ostrel::xml
