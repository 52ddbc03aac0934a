// The parse's stack of open elements, the outermost in slot 0: each slot holds the element's
// record, its record index, its offset and the length of its name (which follows the '<' in the
// text: start tags are scanned with their names left in the text, so no name is copied). What the
// parse needs to match an end tag is here, without a walk through the record store.
#pragma once

#include <cstdint>
#include <memory>

#include "xml/element_record.h"

namespace ostrel::xml {

class OpenTagStack {
 public:
  static constexpr int32_t kInitialCapacity = 6;

  struct OpenElement {
    // The record itself, so that closing the element takes no segment look-up. A growth of the
    // record store that moves records leaves it stale: the parse points the open slots anew.
    ElementRecord* element;
    int32_t record;
    int32_t start;  // offset of its '<'
    int32_t name_length;
    // How many elements are open while this slot is the innermost (its slot number + 1): filled
    // in once per slot, so that a loop holding only a pointer to the innermost slot reads the
    // count, and the level of a new child, from it.
    int32_t open_count;

    int32_t NameStart() const { return start + 1; }
  };

  // The name length of the document's entry below the outermost element: longer than any end
  // tag's name, so that checking an end tag against the innermost open element fails there
  // without a test for an empty stack.
  static constexpr int32_t kNoName = ElementRecord::kMaxEndTagLength + 1;

  OpenTagStack() {
    inline_[0] = {nullptr, 0, 0, kNoName, 0};
    NumberSlots(slots_, 0, capacity_);
  }
  OpenTagStack(const OpenTagStack&) = delete;
  OpenTagStack& operator=(const OpenTagStack&) = delete;

  // Index -1, below the outermost element, always holds record 0 (the document): the parent of
  // the outermost element is read like any other, without a test for an empty stack.
  OpenElement& operator[](int32_t slot) { return slots_[slot]; }
  int32_t Capacity() const { return capacity_; }

  // After an open element was pushed: when count reaches the capacity the stack grows to
  // 2 * capacity + 6 slots (6, 18, 42, 90, ...), so that slot count exists for the next one.
  void MakeRoomFor(int32_t count) {
    if (count == capacity_) Grow();
  }

 private:
  static void NumberSlots(OpenElement* slots, int32_t from, int32_t to) {
    for (int32_t i = from; i < to; ++i) slots[i].open_count = i + 1;
  }
  void Grow();

  // The first kInitialCapacity slots (and the document's below them) live inside the stack: a
  // shallow document's parse takes nothing from the heap for them.
  OpenElement inline_[kInitialCapacity + 1];
  std::unique_ptr<OpenElement[]> heap_;
  OpenElement* slots_ = inline_ + 1;
  int32_t capacity_ = kInitialCapacity;
};

}  // namespace ostrel::xml
