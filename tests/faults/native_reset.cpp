#include "faults/native_reset.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ostrel::testing {

NativeResetListener::NativeResetListener() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  ::sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<const ::sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<::sockaddr*>(&address), &length) != 0 ||
      ::listen(fd, 1) != 0) {
    ::close(fd);
    return;
  }
  fd_ = fd;
  port_ = ntohs(address.sin_port);
}

NativeResetListener::~NativeResetListener() {
  if (fd_ >= 0) ::close(fd_);
}

bool NativeResetListener::AcceptAndReset() {
  const int accepted = ::accept(fd_, nullptr, nullptr);
  if (accepted < 0) return false;
  const ::linger hard{1, 0};
  const bool set = ::setsockopt(accepted, SOL_SOCKET, SO_LINGER, &hard, sizeof hard) == 0;
  ::close(accepted);
  return set;
}

}  // namespace ostrel::testing
