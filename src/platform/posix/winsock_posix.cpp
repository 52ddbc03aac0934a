// Windows Sockets start-up, clean-up and the per-thread last error, over POSIX.
#include "platform/posix/system.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/posix/registry.h"

namespace ostrel::wsa {
namespace {

thread_local int last_error = 0;

// As on Windows, every WSAStartup that succeeds must be matched by a WSACleanup; while the
// count is zero the socket calls fail with WSANOTINITIALISED. It changes only under the
// registry's lock, so that the last clean-up and the closing of every socket are one step
// that no socket call or start-up can come between.
std::atomic<int> startup_count{0};

}  // namespace

namespace posix {
bool Started() { return startup_count.load(std::memory_order_acquire) > 0; }
}  // namespace posix

int WSAStartup(WORD version_requested, LPWSADATA data) {
  // Like Windows: 2.2 is the highest version there is; anything from 1.0 up is granted at
  // the lower of the two.
  const unsigned major = version_requested & 0xFF;
  const unsigned minor = (version_requested >> 8) & 0xFF;
  if (major == 0) {
    return WSAVERNOTSUPPORTED;
  }
  if (data == nullptr) {
    return WSAEFAULT;
  }
  std::memset(data, 0, sizeof *data);
  const bool above_22 = major > 2 || (major == 2 && minor > 2);
  data->wVersion = above_22 ? MAKEWORD(2, 2) : version_requested;
  data->wHighVersion = MAKEWORD(2, 2);
  std::strcpy(data->szDescription, "ostrel POSIX sockets");
  std::strcpy(data->szSystemStatus, "Running");
  posix::Registry& registry = posix::Registry::Get();
  posix::RegistryGuard lock(registry.mutex);
  startup_count.fetch_add(1, std::memory_order_acq_rel);
  return 0;
}

// As on Windows, the last clean-up closes every socket still open, as closesocket would:
// transfers under way complete as cancelled and threads blocked on a socket wake.
int WSACleanup() {
  posix::Registry& registry = posix::Registry::Get();
  std::vector<int> fds;
  {
    posix::RegistryGuard lock(registry.mutex);
    const int count = startup_count.load(std::memory_order_acquire);
    if (count == 0) {
      last_error = WSANOTINITIALISED;
      return SOCKET_ERROR;
    }
    startup_count.store(count - 1, std::memory_order_release);
    if (count == 1) {
      fds = posix::DetachEverySocket(registry);
    }
  }
  for (int fd : fds) {
    ::close(fd);
  }
  return 0;
}

int WSAGetLastError() { return last_error; }

void WSASetLastError(int error) { last_error = error; }

}  // namespace ostrel::wsa
