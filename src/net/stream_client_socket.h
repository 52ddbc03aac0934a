// The TCP roles of an overlapped socket: create-and-bind, connect with a time limit, listen
// and accept.
#pragma once

#include "net/overlapped_socket.h"

namespace ostrel::net {

class StreamClientSocket : public OverlappedSocket {
 public:
  StreamClientSocket() = default;

  // False when a socket is already held. A client bound to any address and port 0 takes its
  // local port when it connects.
  bool CreateAndBind(u_long address, u_short port) override;
  // Connects within kConnectLimitMs. False when the attempt is refused, fails, runs out of
  // time (WSAETIMEDOUT) or lands on the socket itself (WSAECONNREFUSED); the socket stays open.
  virtual bool Connect(u_long address, u_short port);
  virtual bool Listen(int backlog);
  // Accepts one connection into `target` (which releases what it held).
  virtual bool Accept(OverlappedSocket& target);

  // Dotted IPv4 text (no name resolution) and a port in host byte order, low 16 bits used.
  // Text that inet_addr refuses gives false with WSAEADDRNOTAVAIL and no connection attempt.
  bool ConnectTo(const char* address, int port);

 private:
  int AwaitConnection(WSAEVENT connect_event);
};

}  // namespace ostrel::net
