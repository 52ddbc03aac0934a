// The TCP roles: create-and-bind, connect with a time limit, listen, accept.
#include "net/stream_client_socket.h"

#include <chrono>
#include <cstring>

#include "net/time_limits.h"
#include "net/wakeable_event.h"

namespace ostrel::net {
namespace {

bool IsSameEndpoint(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_port == b.sin_port && a.sin_addr.s_addr == b.sin_addr.s_addr;
}

}  // namespace

bool StreamClientSocket::CreateAndBind(u_long address, u_short port) {
  if (Handle() != INVALID_SOCKET) {
    return FailWith(WSAEINVAL);
  }
  if (Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, WSA_FLAG_OVERLAPPED) == INVALID_SOCKET) {
    return false;
  }
  if (SendEvent() == WSA_INVALID_EVENT || ReceiveEvent() == WSA_INVALID_EVENT) {
    return FailWith(WSAENOBUFS);
  }
  SetReuseAddress(true);
  // A port reserved at bind time stays in TIME_WAIT after each connection and cannot serve
  // another peer; taking it at connect time lets ports be shared. Failure is harmless.
  if (address == INADDR_ANY && port == 0) {
    platform::DeferClientPortChoice(Handle());
  }
  return Bind(address, port);
}

bool StreamClientSocket::Connect(u_long address, u_short port) {
  if (Handle() == INVALID_SOCKET) {
    return FailWith(WSAENOTSOCK);
  }
  sockaddr_in remote;
  std::memset(&remote, 0, sizeof remote);
  remote.sin_family = AF_INET;
  remote.sin_port = port;
  remote.sin_addr.s_addr = address;

  // Without its event and selection the socket would stay blocking and connect without our
  // limit, so either failing ends the attempt.
  int error = 0;
  {
    WakeableEvent connect_event;
    if (connect_event.get() == WSA_INVALID_EVENT) {
      return false;
    }
    if (WSAEventSelect(Handle(), connect_event.get(), FD_CONNECT) == SOCKET_ERROR) {
      error = WSAGetLastError();
    } else if (WSAConnect(Handle(), reinterpret_cast<const sockaddr*>(&remote), sizeof remote,
                          nullptr, nullptr, nullptr, nullptr) == SOCKET_ERROR) {
      error = WSAGetLastError();
      if (error == WSAEWOULDBLOCK) {
        error = AwaitConnection(connect_event.get());
      }
    }
  }  // the event is closed before the error is set again
  if (error != 0) {
    return FailWith(error);
  }
  RefreshLocalAddress();  // a deferred port is only known now
  // Nothing listens where a connection meets itself.
  if (IsSameEndpoint(LocalAddress(), remote)) {
    return FailWith(WSAECONNREFUSED);
  }
  SetRemoteAddress(remote);
  return true;
}

// Waits for FD_CONNECT and returns the attempt's outcome: 0, the error it carries (a refusal
// is known at once, not at the first send), or WSAETIMEDOUT after kConnectLimitMs.
int StreamClientSocket::AwaitConnection(WSAEVENT connect_event) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kConnectLimitMs);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    const DWORD limit = left > 0 ? static_cast<DWORD>(left) : 0;
    const DWORD waited = WSAWaitForMultipleEvents(1, &connect_event, TRUE, limit, FALSE);
    if (waited == WSA_WAIT_TIMEOUT) {
      return WSAETIMEDOUT;
    }
    if (waited != WSA_WAIT_EVENT_0) {
      return WSAGetLastError();
    }
    WSANETWORKEVENTS notes;
    std::memset(&notes, 0, sizeof notes);
    if (WSAEnumNetworkEvents(Handle(), connect_event, &notes) == SOCKET_ERROR) {
      return WSAGetLastError();
    }
    if ((notes.lNetworkEvents & FD_CONNECT) != 0) {
      return notes.iErrorCode[FD_CONNECT_BIT];
    }
    // Signalled without FD_CONNECT (set from elsewhere): wait for the rest of the time.
  }
}

bool StreamClientSocket::ConnectTo(const char* address, int port) {
  const u_short port_bytes = htons(static_cast<u_short>(port & 0xFFFF));
  const u_long address_bytes = address != nullptr ? inet_addr(address) : INADDR_NONE;
  // Also refuses 255.255.255.255 and every host name: no name resolution is done.
  if (address_bytes == INADDR_NONE) {
    return FailWith(WSAEADDRNOTAVAIL);
  }
  return Connect(address_bytes, port_bytes);
}

bool StreamClientSocket::Listen(int backlog) {
  if (Handle() == INVALID_SOCKET) {
    return FailWith(WSAENOTSOCK);
  }
  if (listen(Handle(), backlog) == SOCKET_ERROR) {
    return false;
  }
  RefreshLocalAddress();  // a port-0 listener has its port now
  return true;
}

bool StreamClientSocket::Accept(OverlappedSocket& target) {
  if (Handle() == INVALID_SOCKET) {
    return FailWith(WSAENOTSOCK);
  }
  sockaddr_in peer;
  std::memset(&peer, 0, sizeof peer);
  int length = sizeof peer;
  const SOCKET accepted =
      WSAAccept(Handle(), reinterpret_cast<sockaddr*>(&peer), &length, nullptr, 0);
  if (accepted == INVALID_SOCKET) {
    return false;
  }
  return target.Attach(accepted);
}

}  // namespace ostrel::net
