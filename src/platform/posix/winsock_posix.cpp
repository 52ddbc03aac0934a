// Windows Sockets start-up, clean-up and the per-thread last error, over POSIX.
#include <cstring>

#include "platform/winsock.h"

namespace ostrel::wsa {
namespace {

thread_local int last_error = 0;

}  // namespace

int WSAStartup(WORD version_requested, LPWSADATA data) {
  // Like Windows: 2.2 is the highest version there is; anything from 1.0 up is granted at
  // the lower of the two. Nothing here keeps a count: POSIX sockets need no start-up.
  const unsigned major = version_requested & 0xFF;
  const unsigned minor = (version_requested >> 8) & 0xFF;
  if (major == 0) {
    return WSAVERNOTSUPPORTED;
  }
  if (data == nullptr) {
    return WSAEINVAL;  // Windows answers WSAEFAULT; EINVAL is the closest our callers need
  }
  std::memset(data, 0, sizeof *data);
  const bool above_22 = major > 2 || (major == 2 && minor > 2);
  data->wVersion = above_22 ? MAKEWORD(2, 2) : version_requested;
  data->wHighVersion = MAKEWORD(2, 2);
  std::strcpy(data->szDescription, "ostrel POSIX sockets");
  std::strcpy(data->szSystemStatus, "Running");
  return 0;
}

int WSACleanup() { return 0; }

int WSAGetLastError() { return last_error; }

void WSASetLastError(int error) { last_error = error; }

}  // namespace ostrel::wsa
