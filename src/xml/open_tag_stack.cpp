#include "xml/open_tag_stack.h"

#include <algorithm>
#include <utility>

namespace ostrel::xml {

namespace {

void NumberSlots(OpenTagStack::OpenElement* slots, int32_t from, int32_t to) {
  for (int32_t i = from; i < to; ++i) slots[i].open_count = i + 1;
}

}  // namespace

OpenTagStack::OpenTagStack() {
  inline_[0] = {nullptr, 0, 0, kNoName, 0};
  NumberSlots(slots_, 0, capacity_);
}

void OpenTagStack::Grow() {
  const int32_t capacity = 2 * capacity_ + 6;
  std::unique_ptr<OpenElement[]> slots(new OpenElement[capacity + 1]);
  std::copy(slots_ - 1, slots_ + capacity_, slots.get());
  heap_ = std::move(slots);
  slots_ = heap_.get() + 1;
  NumberSlots(slots_, capacity_, capacity);
  capacity_ = capacity;
}

}  // namespace ostrel::xml
