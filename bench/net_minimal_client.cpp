#include "net_minimal_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace ostrel::bench {

bool MinimalBlockingDelivery(int port, const unsigned char* frame, std::size_t size) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    return false;
  }
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<unsigned short>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  std::size_t sent = 0;
  while (ok && sent < size) {
    const ssize_t result = ::send(fd, frame + sent, size - sent, MSG_NOSIGNAL);
    ok = result > 0;
    sent += ok ? static_cast<std::size_t>(result) : 0;
  }
  ::close(fd);
  return ok;
}

}  // namespace ostrel::bench
