#include "platform/posix/system.h"

#include "platform/posix/diagnostics.h"
#include "platform/posix/registry.h"

namespace ostrel::wsa::posix {

std::size_t OpenEventCount() {
  Registry& registry = Registry::Get();
  posix::RegistryGuard lock(registry.mutex);
  return registry.events.Count();
}

std::size_t OpenSocketCount() {
  Registry& registry = Registry::Get();
  posix::RegistryGuard lock(registry.mutex);
  return registry.sockets.Count();
}

}  // namespace ostrel::wsa::posix
