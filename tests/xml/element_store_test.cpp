#include <gtest/gtest.h>

#include "xml/element_store.h"
#include "xml/invariant_checker.h"
#include "xml/xml_document.h"

namespace ostrel::xml {
namespace {

void Fill(ElementStore& store, int32_t from, int32_t to) {
  for (int32_t i = from; i < to; ++i) store.At(i) = ElementRecord{i, i + 1, 0, 0, 0, 0, 0, 0};
}

void ExpectFilled(const ElementStore& store, int32_t from, int32_t to) {
  for (int32_t i = from; i < to; ++i) {
    ASSERT_EQ(store.At(i).start, i);
    ASSERT_EQ(store.At(i).length, i + 1);
  }
}

TEST(ElementRecord, PacksTagLengthsWithTheirMasks) {
  ElementRecord r{};
  r.tag_lengths = 0xFFFFFFFFu;
  r.SetStartTagLength(5);
  EXPECT_EQ(r.tag_lengths, 0xFFD00005u);  // bits 20 and 22-31 kept, bit 21 cleared
  r.SetEndTagLength(7);
  EXPECT_EQ(r.tag_lengths, 7u << 22 | 5u);
  EXPECT_EQ(r.StartTagLength(), 5);
  EXPECT_EQ(r.EndTagLength(), 7);
  r.SetStartTagLength(ElementRecord::kMaxStartTagLength);
  r.SetEndTagLength(ElementRecord::kMaxEndTagLength);
  EXPECT_EQ(r.StartTagLength(), 1048575);
  EXPECT_EQ(r.EndTagLength(), 511);
  r.SetEndTagLength(512);
  EXPECT_EQ(r.EndTagLength(), -512);  // why the parse refuses such end tags
  r.flags = ElementRecord::kIsFirstChild | 3;
  r.SetLevel(9);
  EXPECT_EQ(r.flags, ElementRecord::kIsFirstChild | 9);
}

TEST(ElementStore, NewDocumentHoldsEightRecordsInOneSegment) {
  XmlDocument doc;
  EXPECT_EQ(doc.Capacity(), 8);
  EXPECT_EQ(doc.Tree().SegmentSlots(), 4);
  EXPECT_EQ(doc.Tree().SegmentsInUse(), 1);
  EXPECT_EQ(doc.NextFree(), 1);
  EXPECT_EQ(doc.ErrorText(), "Empty document");
  const ElementRecord& d = doc.At(0);
  EXPECT_EQ(d.start | d.length | static_cast<int32_t>(d.tag_lengths | d.flags) | d.parent |
                d.first_child | d.next | d.prev,
            0);
  EXPECT_EQ(doc.ParentPos() | doc.CurrentPos() | doc.ChildPos() | doc.CurrentNodeType(), 0);
  EXPECT_INVARIANTS(doc);
}

TEST(ElementStore, NewRecordAtCapacityGrowsByHalfKeepingRecords) {
  XmlDocument doc;
  for (int i = 1; i < 8; ++i) {
    EXPECT_EQ(doc.NewRecord(), i);
    doc.At(i).start = 100 + i;
  }
  const ElementRecord* before = doc.Tree().Segment(0);
  EXPECT_EQ(doc.NewRecord(), 8);
  EXPECT_EQ(doc.Capacity(), 12);
  EXPECT_EQ(doc.Tree().Segment(0), before);  // grown within the store's own block
  for (int i = 1; i < 8; ++i) EXPECT_EQ(doc.At(i).start, 100 + i);
}

TEST(ElementStore, GrowthFollowsTheSegmentRules) {
  struct Case {
    const char* what;
    int32_t capacity, used, requested;
    int32_t expectCapacity, expectSlots;
    bool segment0Kept;
  } cases[] = {
      {"0 asks half as many again, within the store's own block", 13, 13, 0, 19, 4, true},
      {"beyond the store's own block, a new one", 128, 128, 0, 192, 4, false},
      {"from nothing, one full segment at most", 0, 0, 200000, 131072, 6, false},
      {"refill segment 0, then 4464 in segment 1", 10, 10, 70000, 70000, 4, false},
      {"a full segment 0 is not moved", 65536, 65536, 70000, 70000, 4, true},
      {"at or below capacity nothing changes", 20, 5, 20, 20, 4, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ElementStore store;
    if (c.capacity > 0) store.EnsureCapacity(c.capacity, 0);
    Fill(store, 0, c.capacity);
    const ElementRecord* segment0 = c.capacity > 0 ? store.Segment(0) : nullptr;
    store.EnsureCapacity(c.requested, c.used);
    EXPECT_EQ(store.Capacity(), c.expectCapacity);
    EXPECT_EQ(store.SegmentSlots(), c.expectSlots);
    if (c.capacity > 0) {
      EXPECT_EQ(store.Segment(0) == segment0, c.segment0Kept);
    }
    ExpectFilled(store, 0, c.capacity);
  }
}

// Room reserved for growth leaves the capacity as it was, and the growth it was reserved for
// then keeps segment 0 where it is, stopping at the room rather than stepping past it.
TEST(ElementStore, GrowthIntoReservedRoomMovesNothing) {
  struct Case {
    int32_t capacity, requested, records;
    int32_t grownTo;  // by half from the request, at most to the records and a sixteenth
  } cases[] = {{8, 200, 250, 265},
               {8, 1000, 40000, 42500},
               {8, 16392, 56386, 59910},
               {8, 16392, 65000, 65536}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.records);
    ElementStore store;
    store.EnsureCapacity(c.capacity, 0);
    Fill(store, 0, c.capacity);
    store.ReserveForGrowth(c.requested, c.records);
    EXPECT_EQ(store.Capacity(), c.capacity);
    store.EnsureCapacity(c.requested, c.capacity);
    const ElementRecord* segment0 = store.Segment(0);
    while (store.Capacity() < c.records) store.EnsureCapacity(0, store.Capacity());
    EXPECT_EQ(store.Capacity(), c.grownTo);
    EXPECT_EQ(store.Segment(0), segment0);
    ExpectFilled(store, 0, c.capacity);
  }
}

TEST(ElementStore, SegmentArrayGrowsOnlyWhenASegmentNeedsAnEntry) {
  ElementStore store;
  store.EnsureCapacity(65536, 0);
  int32_t used = 65536;
  for (int s = 1; s <= 3; ++s) {
    store.EnsureCapacity((s + 1) * 65536, used);
    used = store.Capacity();
    Fill(store, used - 3, used);
  }
  EXPECT_EQ(store.Capacity(), 4 * 65536);
  EXPECT_EQ(store.SegmentSlots(), 4);  // growth into segment 3 fits the first array
  const ElementRecord* segment3 = store.Segment(3);
  store.EnsureCapacity(4 * 65536 + 1, used);
  EXPECT_EQ(store.SegmentSlots(), 12);  // into segment 4: 2 * 4 + 4
  EXPECT_EQ(store.Segment(3), segment3);
  ExpectFilled(store, 4 * 65536 - 3, 4 * 65536);
}

TEST(ElementStore, RecordIndexesStayValidAcrossManyGrowths) {
  XmlDocument doc;
  for (int32_t i = 1; i < 300000; ++i) {
    ASSERT_EQ(doc.NewRecord(), i);
    doc.At(i).start = i;
  }
  for (int32_t i = 1; i < 300000; i += 997) ASSERT_EQ(doc.At(i).start, i);
  EXPECT_EQ(doc.At(0x00010005).start, 0x00010005);  // slot 5 of segment 1
  EXPECT_GE(doc.Capacity(), 300000);
}

}  // namespace
}  // namespace ostrel::xml
