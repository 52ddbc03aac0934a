#include "xml/open_tag_stack.h"

#include <algorithm>
#include <utility>

namespace ostrel::xml {

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
