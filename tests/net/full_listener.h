// A loopback listener whose accept queue is full: the system drops every further SYN, so a
// connection attempt to it stays under way until its own limit (or until something ends it).
#pragma once

#if !defined(_WIN32)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ostrel::testing {

class FullListener {
 public:
  FullListener() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    // A backlog of 0 queues one connection; the filler takes that place.
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 0) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return;
    }
    filler_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (::connect(filler_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      port_ = ntohs(address.sin_port);
    }
  }
  ~FullListener() {
    ::close(filler_);
    ::close(listener_);
  }
  FullListener(const FullListener&) = delete;
  FullListener& operator=(const FullListener&) = delete;

  // 0 when the listener could not be made.
  int port() const { return port_; }

 private:
  int listener_ = -1;
  int filler_ = -1;
  int port_ = 0;
};

}  // namespace ostrel::testing
#endif
