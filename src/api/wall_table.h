// The table of registered wall controllers: 64 slots, a wall handle is a slot's index.
#pragma once

#include <cstdint>
#include <mutex>

#include "command/wire_protocol.h"

namespace ostrel {

struct WallSlot {
  std::int32_t in_use;  // 0 free, 1 registered
  char address[kWallAddressSize];
  std::uint16_t port;  // host byte order
};

// Guarded by a lock so that host threads may register, release and send concurrently.
// A command copies its slot under the lock and delivers outside it.
class WallTable {
 public:
  WallTable() = default;  // not constexpr: std::mutex is not, over winpthreads

  // Frees every slot and clears every address and port.
  void Clear();

  // Takes the lowest free slot for the address and the low 16 bits of port; returns its index,
  // or -1 when every slot is in use. The address must fit the slot (checked by the caller).
  int Open(const char* address, int port);

  // Frees the slot; false for a handle outside 0..63 (a free slot stays free: true).
  bool Close(int handle);

  // Copies the slot of a handle in 0..63 into *slot (in use or not).
  void Read(int handle, WallSlot* slot) const;

 private:
  mutable std::mutex mutex_;
  WallSlot slots_[kWallSlotCount] = {};
};

// The library's one table, all zero when the library is loaded.
WallTable& TheWallTable();

inline bool IsValidWallHandle(int handle) { return handle >= 0 && handle < kWallSlotCount; }

}  // namespace ostrel
