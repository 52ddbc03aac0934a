#include "api/wall_table.h"

#include <cstring>

namespace ostrel {

void WallTable::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::memset(slots_, 0, sizeof slots_);
}

int WallTable::Open(const char* address, int port) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (int i = 0; i < kWallSlotCount; ++i) {
    WallSlot& slot = slots_[i];
    if (slot.in_use == 0) {
      slot.port = static_cast<std::uint16_t>(static_cast<unsigned>(port) & 0xFFFFu);
      std::strncpy(slot.address, address, kWallAddressSize - 1);
      slot.address[kWallAddressSize - 1] = '\0';
      slot.in_use = 1;
      return i;
    }
  }
  return -1;
}

bool WallTable::Close(int handle) {
  if (!IsValidWallHandle(handle)) {
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  slots_[handle].in_use = 0;  // address and port stay until the slot is taken again
  return true;
}

void WallTable::Read(int handle, WallSlot* slot) const {
  std::lock_guard<std::mutex> lock(mutex_);
  *slot = slots_[handle];
}

WallTable& TheWallTable() {
  // A function-local static: made, all zero, on first use (thread-safe); no start-up order
  // to worry about.
  static WallTable table;
  return table;
}

}  // namespace ostrel
