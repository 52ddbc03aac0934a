// A table of objects reached through handles that go stale when the object is removed.
//
// A handle holds the slot index and the slot's generation, so a handle kept after its object
// was removed (an event closed while a socket is still selected on it, say) finds nothing,
// even once the slot is reused. Handles are never zero and never all bits set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace ostrel::wsa::posix {

template <class T>
class HandleTable {
 public:
  // Returns 0 when the table is full.
  std::uintptr_t Add(T value) {
    std::size_t index;
    if (!free_.empty()) {
      index = free_.back();
      free_.pop_back();
    } else if (slots_.size() < kIndexMask) {
      index = slots_.size();
      slots_.emplace_back();
    } else {
      return 0;
    }
    Slot& slot = slots_[index];
    slot.used = true;
    slot.value = std::move(value);
    ++count_;
    return Encode(index, slot.generation);
  }

  T* Find(std::uintptr_t handle) {
    const std::uintptr_t index_part = handle & kIndexMask;
    if (index_part == 0 || index_part > slots_.size()) {
      return nullptr;
    }
    Slot& slot = slots_[index_part - 1];
    if (!slot.used || Encode(index_part - 1, slot.generation) != handle) {
      return nullptr;
    }
    return &slot.value;
  }

  bool Remove(std::uintptr_t handle) {
    if (Find(handle) == nullptr) {
      return false;
    }
    const std::size_t index = (handle & kIndexMask) - 1;
    Slot& slot = slots_[index];
    slot.used = false;
    slot.value = T{};
    slot.generation = (slot.generation + 1) & kGenerationMask;
    if (slot.generation == 0) {
      slot.generation = 1;
    }
    free_.push_back(index);
    --count_;
    return true;
  }

  template <class F>
  void ForEach(F&& visit) {
    for (std::size_t i = 0; i < slots_.size(); ++i) {
      if (slots_[i].used) {
        visit(Encode(i, slots_[i].generation), slots_[i].value);
      }
    }
  }

  std::size_t Count() const { return count_; }

 private:
  static constexpr int kIndexBits = 20;
  static constexpr std::uintptr_t kIndexMask = (std::uintptr_t{1} << kIndexBits) - 1;
  // One bit short of the top, so that no handle has all bits set.
  static constexpr std::uintptr_t kGenerationMask =
      (std::uintptr_t{1} << (sizeof(std::uintptr_t) * 8 - kIndexBits - 1)) - 1;

  struct Slot {
    std::uintptr_t generation = 1;
    bool used = false;
    T value{};
  };

  static std::uintptr_t Encode(std::size_t index, std::uintptr_t generation) {
    return (generation << kIndexBits) | (static_cast<std::uintptr_t>(index) + 1);
  }

  std::vector<Slot> slots_;
  std::vector<std::size_t> free_;
  std::size_t count_ = 0;
};

}  // namespace ostrel::wsa::posix
