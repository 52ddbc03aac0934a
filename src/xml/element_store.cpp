#include "xml/element_store.h"

#include <cstring>
#include <memory>

namespace ostrel::xml {
namespace {

// Records are not cleared: a record means something only once its taker has written it.
std::unique_ptr<ElementRecord[]> NewBlock(int32_t records) {
  return std::unique_ptr<ElementRecord[]>(new ElementRecord[records]);
}

}  // namespace

ElementStore::~ElementStore() {
  int32_t inUse = SegmentsInUse();
  for (int32_t s = 0; s < inUse; ++s) delete[] segments_[s];
  delete[] segments_;
}

void ElementStore::EnsureCapacity(int32_t requested, int32_t used) {
  if (requested == 0) requested = used + (used >> 1);
  const int32_t cap = capacity_;
  if (cap >= requested) return;

  const int32_t oldLast = cap > 0 ? (cap - 1) >> 16 : 0;
  int32_t newLast = (requested - 1) >> 16;
  if (newLast > oldLast + 1) {
    // At most one new segment per call, and that one full.
    newLast = oldLast + 1;
    requested = (oldLast + 2) * SegmentRecords;
  }

  if (segmentSlots_ <= newLast) {
    const int32_t slots = 2 * newLast + 4;
    std::unique_ptr<ElementRecord*[]> array(new ElementRecord*[slots]);
    int32_t inUse = SegmentsInUse();
    if (inUse > 0) std::memcpy(array.get(), segments_, sizeof(ElementRecord*) * inUse);
    delete[] segments_;
    segments_ = array.release();
    segmentSlots_ = slots;
  }

  const int32_t inOld = cap - oldLast * SegmentRecords;
  if (newLast > oldLast && inOld < SegmentRecords) {
    // The old last segment becomes full before a segment is added behind it.
    std::unique_ptr<ElementRecord[]> full = NewBlock(SegmentRecords);
    if (inOld > 0) {
      std::memcpy(full.get(), segments_[oldLast], sizeof(ElementRecord) * inOld);
      delete[] segments_[oldLast];
    }
    segments_[oldLast] = full.release();
    // Until capacity is raised the full block still serves the old capacity.
  }

  std::unique_ptr<ElementRecord[]> block = NewBlock(requested - newLast * SegmentRecords);
  if (newLast == oldLast && inOld > 0) {
    std::memcpy(block.get(), segments_[oldLast], sizeof(ElementRecord) * inOld);
    delete[] segments_[oldLast];
  }
  segments_[newLast] = block.release();
  capacity_ = requested;
}

}  // namespace ostrel::xml
