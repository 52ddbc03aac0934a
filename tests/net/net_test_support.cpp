#include "net/net_test_support.h"

#include <chrono>
#include <thread>

#include <cstring>

#if !defined(_WIN32)
#include <dirent.h>

#include "platform/posix/diagnostics.h"
#endif

namespace ostrel::testing {

ResourceCounts CurrentResourceCounts() {
  ResourceCounts counts;
#if defined(_WIN32)
  DWORD handles = 0;
  GetProcessHandleCount(GetCurrentProcess(), &handles);
  counts.descriptors = handles;
#else
  if (DIR* directory = ::opendir("/proc/self/fd")) {
    while (::readdir(directory) != nullptr) {
      ++counts.descriptors;
    }
    ::closedir(directory);
  }
  counts.events = wsa::posix::OpenEventCount();
  counts.sockets = wsa::posix::OpenSocketCount();
#endif
  return counts;
}

sockaddr_in LoopbackAddress(int port) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

ResourceCounts SettledResourceCounts() {
  constexpr int kRounds = 50;
  constexpr std::chrono::milliseconds kRound(100);
  std::size_t last = CurrentResourceCounts().descriptors;
  for (int round = 0; round < kRounds; ++round) {
    std::this_thread::sleep_for(kRound);
    const std::size_t now = CurrentResourceCounts().descriptors;
    if (now == last) break;
    last = now;
  }
  return CurrentResourceCounts();
}

}  // namespace ostrel::testing
