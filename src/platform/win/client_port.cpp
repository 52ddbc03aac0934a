#include "platform/win/client_port.h"

namespace ostrel::platform {

int DeferClientPortChoice(SOCKET socket) {
  const DWORD enable = 1;
  if (setsockopt(socket, SOL_SOCKET, kReuseUnicastPortOption,
                 reinterpret_cast<const char*>(&enable), sizeof enable) == SOCKET_ERROR) {
    return WSAGetLastError();
  }
  return 0;
}

}  // namespace ostrel::platform
