// The wait for a pending error on a layer socket's descriptor, read from the layer's registry.
#include "platform/posix/registry.h"  // first: the native names before the layer's

#include <mutex>

#include "faults/native_reset.h"

namespace ostrel::testing {

int DescriptorOf(std::uintptr_t layer_socket) {
  wsa::posix::Registry& registry = wsa::posix::Registry::Get();
  wsa::posix::RegistryGuard lock(registry.mutex);
  const wsa::posix::SocketState* state = registry.FindSocket(layer_socket);
  return state != nullptr ? state->fd : -1;
}

bool ResetArrives(std::uintptr_t layer_socket, int milliseconds) {
  const int fd = DescriptorOf(layer_socket);
  ::pollfd ready{fd, POLLIN, 0};
  return fd >= 0 && ::poll(&ready, 1, milliseconds) == 1 && (ready.revents & POLLERR) != 0;
}

}  // namespace ostrel::testing
