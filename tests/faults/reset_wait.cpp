// The wait for a pending error on a layer socket's descriptor, read from the layer's registry.
#include "platform/posix/registry.h"  // first: the native names before the layer's

#include <mutex>

#include "faults/native_reset.h"

namespace ostrel::testing {

bool ResetArrives(std::uintptr_t layerSocket, int milliseconds) {
  int fd = -1;
  {
    wsa::posix::Registry& registry = wsa::posix::Registry::Get();
    std::lock_guard<std::mutex> lock(registry.mutex);
    if (const wsa::posix::SocketState* state = registry.FindSocket(layerSocket)) fd = state->fd;
  }
  ::pollfd ready{fd, POLLIN, 0};
  return fd >= 0 && ::poll(&ready, 1, milliseconds) == 1 && (ready.revents & POLLERR) != 0;
}

}  // namespace ostrel::testing
