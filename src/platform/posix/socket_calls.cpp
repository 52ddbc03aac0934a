// Socket creation, addresses, options, connect, listen, accept and close.
#include "platform/posix/system.h"

#include <fcntl.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "platform/posix/errors.h"
#include "platform/posix/fault_injection.h"
#include "platform/posix/registry.h"

namespace ostrel::wsa {
namespace posix {
namespace {

constexpr int kAddressLength = static_cast<int>(sizeof(sockaddr_in));

sys::native_sockaddr_in ToNative(const sockaddr_in& address) {
  sys::native_sockaddr_in native{};
  native.sin_family = sys::kAfInet;
  native.sin_port = address.sin_port;
  native.sin_addr.s_addr = address.sin_addr.s_addr;
  return native;
}

sockaddr_in FromNative(const sys::native_sockaddr_in& native) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = native.sin_port;
  address.sin_addr.s_addr = native.sin_addr.s_addr;
  return address;
}

// Reads an IPv4 address argument; 0 when it is usable, else the error to report.
int ReadAddress(const sockaddr* name, int length, sockaddr_in* out) {
  if (name == nullptr || length < kAddressLength) {
    return WSAEFAULT;
  }
  std::memcpy(out, name, sizeof *out);
  return out->sin_family == AF_INET ? 0 : WSAEAFNOSUPPORT;
}

int WriteAddress(const sys::native_sockaddr_in& native, sockaddr* name, int* length) {
  if (name == nullptr || length == nullptr || *length < kAddressLength) {
    return Fail(WSAEFAULT);
  }
  const sockaddr_in address = FromNative(native);
  std::memcpy(name, &address, sizeof address);
  *length = kAddressLength;
  return 0;
}

// What Windows reports for a connect that fails at once, where Linux names the cause
// differently: a blackhole route (EINVAL) and a throw route that ends nowhere (EAGAIN) leave
// the network unreachable; no free local port (EADDRNOTAVAIL: the address itself was checked)
// is WSAENOBUFS there.
int ConnectError(int error) {
  switch (error) {
    case EINVAL:
    case EAGAIN:
      return WSAENETUNREACH;
    case EADDRNOTAVAIL:
    case EADDRINUSE:
      return WSAENOBUFS;
    default:
      return ErrorFromErrno(error);
  }
}

#if !defined(SOCK_NONBLOCK) || !defined(SOCK_CLOEXEC)
bool SetNonBlockingCloseOnExec(int fd) {
  const int status = ::fcntl(fd, F_GETFL);
  return status >= 0 && ::fcntl(fd, F_SETFL, status | O_NONBLOCK) == 0 &&
         ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}
#endif

// Descriptors are always non-blocking underneath; the emulated blocking mode waits in poll().
int NewDescriptor() {
#if defined(SOCK_NONBLOCK) && defined(SOCK_CLOEXEC)
  return ::socket(sys::kAfInet, sys::kSockStream | SOCK_NONBLOCK | SOCK_CLOEXEC, sys::kIpProtoTcp);
#else
  const int fd = ::socket(sys::kAfInet, sys::kSockStream, sys::kIpProtoTcp);
  if (fd >= 0 && !SetNonBlockingCloseOnExec(fd)) {
    ::close(fd);
    return -1;
  }
  return fd;
#endif
}

int AcceptDescriptor(int listener, sys::native_sockaddr_in* peer) {
  ::socklen_t length = sizeof *peer;
  auto* name = reinterpret_cast<sys::native_sockaddr*>(peer);
#if defined(SOCK_NONBLOCK) && defined(SOCK_CLOEXEC)
  return ::accept4(listener, name, &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
#else
  const int fd = ::accept(listener, name, &length);
  if (fd >= 0 && !SetNonBlockingCloseOnExec(fd)) {
    ::close(fd);
    return -1;
  }
  return fd;
#endif
}

void NoSigPipe(int fd) {
#if defined(SO_NOSIGPIPE)
  const int on = 1;
  ::setsockopt(fd, sys::kSolSocket, SO_NOSIGPIPE, &on, sizeof on);
#else
  (void)fd;  // every send passes MSG_NOSIGNAL
#endif
}

// The phase a connect may start from: 0, or the error that refuses it.
int ConnectRefusal(Phase phase) {
  switch (phase) {
    case Phase::kConnectStarting:
    case Phase::kConnecting:
      return WSAEALREADY;
    case Phase::kConnected:
      return WSAEISCONN;
    case Phase::kListening:
      return WSAEINVAL;
    case Phase::kIdle:
    case Phase::kConnectFailed:
      break;  // a failed connect may be tried again
  }
  return 0;
}

// Blocking mode: waits for the outcome of the connect under way (without a limit of our own, as
// Windows does; the system's SYN retries end it).
int AwaitBlockingConnect(SocketCall& call, SOCKET s) {
  for (;;) {
    SocketState* socket = nullptr;
    if (!BlockUntilReady(call.registry, call.lock, s, POLLOUT) ||
        (socket = call.registry.FindSocket(s)) == nullptr) {
      return Fail(WSAEINTR);
    }
    RefreshNow(call.registry, *socket);
    if (socket->phase == Phase::kConnected) {
      return 0;
    }
    if (socket->phase == Phase::kConnectFailed) {
      socket->recorded &= ~FD_CONNECT;  // reported by this call instead
      return Fail(socket->errors[FD_CONNECT_BIT]);
    }
  }
}

// The connect() itself, without the lock: on loopback it carries the whole handshake. Gives 0
// or errno, and the socket as looked up again (null when it was closed meanwhile).
int ConnectOutsideLock(SocketCall& call, SOCKET s, const sys::native_sockaddr_in& remote) {
  call.socket->phase = Phase::kConnectStarting;
  int error = 0;
  call.socket = OutsideLock(call.registry, call.lock, s, *call.socket, [&](int fd) {
    int result;
    do {
      result = ::connect(fd, reinterpret_cast<const sys::native_sockaddr*>(&remote), sizeof remote);
    } while (result != 0 && errno == EINTR);
    error = result == 0 ? 0 : errno;
  });
  return error;
}

// 0 when a socket of this kind can be made (TCP over IPv4 only), else the error that refuses it.
int SocketRefusal(int family, int type, int protocol, const WSAPROTOCOL_INFOA* protocol_info,
                  GROUP group) {
  if (!Started()) {
    return WSANOTINITIALISED;
  }
  if (family != AF_INET) {
    return WSAEAFNOSUPPORT;
  }
  if (type != SOCK_STREAM) {
    return WSAESOCKTNOSUPPORT;
  }
  if (protocol != 0 && protocol != IPPROTO_TCP) {
    return WSAEPROTONOSUPPORT;
  }
  return protocol_info != nullptr || group != 0 ? WSAEINVAL : 0;
}

// One connect() of the descriptor: made at once, failed at once, or under way.
int Connect(SocketCall& call, SOCKET s, const sys::native_sockaddr_in& remote) {
  // Windows refuses the all-zero address; Linux would connect to the local host.
  if (remote.sin_addr.s_addr == INADDR_ANY) {
    return Fail(WSAEADDRNOTAVAIL);
  }
  if (const int refused = ConnectRefusal(call.socket->phase)) {
    return Fail(refused);
  }
  call.socket->remote = remote;
  call.socket->recorded &= ~(FD_CONNECT | FD_WRITE);
  call.socket->local_known = false;  // the connect chooses the local address and port
  const int error = ConnectOutsideLock(call, s, remote);
  if (call.socket == nullptr) {
    return Fail(WSAEINTR);  // closed meanwhile, as Windows reports it
  }
  SocketState& socket = *call.socket;
  if (error == 0) {
    if (ConnectedToItself(socket)) {
      ::shutdown(socket.fd, SHUT_RDWR);
      socket.phase = Phase::kConnectFailed;
      return Fail(WSAECONNREFUSED);
    }
    MarkConnected(call.registry, socket, /*record_connect=*/true);
    return 0;
  }
  if (error != EINPROGRESS) {
    socket.phase = Phase::kConnectFailed;
    return Fail(ConnectError(error));
  }
  socket.phase = Phase::kConnecting;
  if (socket.non_blocking && call.fault.effect != faults::Effect::kBlocking) {
    return Fail(WSAEWOULDBLOCK);
  }
  return AwaitBlockingConnect(call, s);
}

// Sets SO_REUSEADDR on the descriptor when it was asked for and not yet set.
void ApplyReuseAddress(SocketState& socket) {
  if (socket.reuse_address) {
    const int on = 1;
    ::setsockopt(socket.fd, sys::kSolSocket, sys::kSoReuseAddr, &on, sizeof on);
    socket.reuse_address = false;
  }
}

// A bind of any address and port 0 whose port is chosen at connect time changes nothing on
// the descriptor, so it makes no system call; the local address is then known as given.
int BindNative(SocketState& socket, const sys::native_sockaddr_in& native) {
  const bool any = native.sin_addr.s_addr == INADDR_ANY && native.sin_port == 0;
  if (!(any && socket.defer_port_choice)) {
    ApplyReuseAddress(socket);
    if (socket.defer_port_choice && native.sin_port == 0) {
      const int on = 1;
      ::setsockopt(socket.fd, sys::kIpProtoIp, sys::kIpBindAddressNoPort, &on, sizeof on);
    }
    if (::bind(socket.fd, reinterpret_cast<const sys::native_sockaddr*>(&native), sizeof native) !=
        0) {
      socket.local_known = false;
      // Any port would do: none is free (Windows: WSAENOBUFS).
      return errno == EADDRINUSE && native.sin_port == 0 ? Fail(WSAENOBUFS) : FailFromErrno();
    }
  }
  socket.local = native;
  socket.local_known = native.sin_port != 0 || socket.defer_port_choice;
  return 0;
}

SOCKET Accept(SocketCall& call, SOCKET s, sockaddr* address, LPINT address_length,
              LPCONDITIONPROC condition) {
  Registry& registry = call.registry;
  SocketState* listener = call.socket;
  if (condition != nullptr) {
    WSASetLastError(WSAEOPNOTSUPP);  // condition functions are not offered
    return INVALID_SOCKET;
  }
  if (listener->phase != Phase::kListening) {
    WSASetLastError(WSAEINVAL);
    return INVALID_SOCKET;
  }
  if (address != nullptr && (address_length == nullptr || *address_length < 16)) {
    WSASetLastError(WSAEFAULT);
    return INVALID_SOCKET;
  }
  sys::native_sockaddr_in peer{};
  int fd;
  for (;;) {
    // Every accept call lets FD_ACCEPT be recorded again.
    listener->armed |= FD_ACCEPT;
    fd = AcceptDescriptor(listener->fd, &peer);
    if (fd >= 0) {
      break;
    }
    if (errno == EINTR || errno == ECONNABORTED) {
      continue;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      FailFromErrno();
      return INVALID_SOCKET;
    }
    if (listener->non_blocking) {
      WSASetLastError(WSAEWOULDBLOCK);
      return INVALID_SOCKET;
    }
    if (!BlockUntilReady(registry, call.lock, s, POLLIN) ||
        (listener = registry.FindSocket(s)) == nullptr) {
      WSASetLastError(WSAEINTR);
      return INVALID_SOCKET;
    }
  }
  NoSigPipe(fd);
  // As on Windows, the new socket takes over the listener's event selection.
  SocketState state;
  state.fd = fd;
  state.non_blocking = listener->non_blocking;
  state.selected_event = listener->selected_event;
  state.selected_mask = listener->selected_mask;
  state.remote = peer;
  const SOCKET handle = registry.sockets.Add(std::move(state));  // invalidates `listener`
  if (handle == 0) {
    ::close(fd);
    WSASetLastError(WSAENOBUFS);
    return INVALID_SOCKET;
  }
  MarkConnected(registry, *registry.FindSocket(handle), /*record_connect=*/false);
  if (address != nullptr) {
    WriteAddress(peer, address, address_length);
  }
  return handle;
}

int Listen(SocketCall& call, int backlog) {
  SocketState& socket = *call.socket;
  if (socket.phase == Phase::kConnected || socket.phase == Phase::kConnecting ||
      socket.phase == Phase::kConnectStarting) {
    return Fail(WSAEISCONN);
  }
  ApplyReuseAddress(socket);
  socket.local_known = false;  // an unbound listener takes a port now
  if (::listen(socket.fd, backlog < 0 ? 0 : backlog) != 0) {
    return FailFromErrno();
  }
  socket.phase = Phase::kListening;
  socket.armed = FD_ACCEPT;
  return 0;
}

int LocalName(SocketCall& call, sockaddr* name, int* name_length) {
  sys::native_sockaddr_in native{};
  if (!ReadLocalAddress(*call.socket, &native)) {
    return FailFromErrno();
  }
  return WriteAddress(native, name, name_length);
}

// Only SO_REUSEADDR is offered, and it is kept until a bind or listen needs it.
int SetOption(SocketCall& call, int level, int name, const char* value, int value_length) {
  if (value == nullptr || value_length < 1) {
    return Fail(WSAEFAULT);
  }
  if (level != SOL_SOCKET || name != SO_REUSEADDR) {
    return Fail(WSAENOPROTOOPT);
  }
  // Windows reads a BOOL; a single byte will do too.
  int on = static_cast<unsigned char>(value[0]);
  if (value_length >= static_cast<int>(sizeof on)) {
    std::memcpy(&on, value, sizeof on);
  }
  call.socket->reuse_address = on != 0;
  return 0;
}
}  // namespace

SocketState* Lookup(Registry& registry, SOCKET s) {
  if (!Started()) {
    WSASetLastError(WSANOTINITIALISED);
    return nullptr;
  }
  SocketState* socket = registry.FindSocket(s);
  if (socket == nullptr) {
    WSASetLastError(WSAENOTSOCK);
  }
  return socket;
}

SocketState* ReturnToLock(Registry& registry, SOCKET s, int fd) {
  SocketState* socket = registry.FindSocket(s);
  if (socket != nullptr) {
    --socket->outside_lock;
    return socket;
  }
  // Closed meanwhile: the descriptor was left open for the threads still using it.
  auto& closing = registry.closing;
  const auto found = std::find_if(closing.begin(), closing.end(),
                                  [&](const std::pair<int, int>& c) { return c.first == fd; });
  if (found != closing.end() && --found->second == 0) {
    ::close(found->first);
    closing.erase(found);
  }
  return nullptr;
}

bool BlockUntilReady(Registry& registry, RegistryLock& lock, SOCKET s, short events) {
  SocketState* socket = registry.FindSocket(s);
  if (socket == nullptr) {
    return false;
  }
  int ready = 0;
  socket = OutsideLock(registry, lock, s, *socket, [&](int fd) {
    ::pollfd entry{fd, events, 0};
    do {
      ready = ::poll(&entry, 1, -1);
    } while (ready < 0 && errno == EINTR);
  });
  return socket != nullptr && ready > 0;
}

int DetachSocket(Registry& registry, SOCKET s, SocketState& socket) {
  // Pending transfers end as cancelled; their events are set.
  for (PendingTransfer* transfer : {&socket.send, &socket.receive}) {
    if (transfer->active()) {
      CompleteTransfer(registry, *transfer, WSA_OPERATION_ABORTED, 0);
    }
  }
  int fd = socket.fd;
  if (socket.outside_lock > 0) {
    // A thread asleep in poll() on the descriptor is not woken by close(); shutting the
    // connection down wakes it (or makes its poll() return at once), and it finds the socket
    // gone (WSAEINTR, as Windows reports it). The last thread still using the descriptor
    // closes it.
    ::shutdown(fd, SHUT_RDWR);
    registry.closing.emplace_back(fd, socket.outside_lock);
    fd = -1;
  }
  registry.sockets.Remove(s);
  return fd;
}

std::vector<int> DetachEverySocket(Registry& registry) {
  std::vector<SOCKET> handles;
  registry.sockets.ForEach([&](SOCKET handle, SocketState&) { handles.push_back(handle); });
  std::vector<int> fds;
  for (SOCKET handle : handles) {
    const int fd = DetachSocket(registry, handle, *registry.FindSocket(handle));
    if (fd >= 0) {
      fds.push_back(fd);
    }
  }
  return fds;
}
}  // namespace posix

using posix::Registry;

SOCKET WSASocketA(int family, int type, int protocol, LPWSAPROTOCOL_INFOA protocol_info,
                  GROUP group, DWORD /*flags: every socket here can do overlapped transfers*/) {
  if (const int injected = posix::faults::InjectedError(posix::faults::Call::kWSASocketA)) {
    WSASetLastError(injected);
    return INVALID_SOCKET;
  }
  if (const int refused = posix::SocketRefusal(family, type, protocol, protocol_info, group)) {
    WSASetLastError(refused);
    return INVALID_SOCKET;
  }
  const int fd = posix::NewDescriptor();
  if (fd < 0) {
    posix::FailFromErrno();
    return INVALID_SOCKET;
  }
  posix::NoSigPipe(fd);
  Registry& registry = Registry::Get();
  posix::RegistryGuard lock(registry.mutex);
  // The last WSACleanup may have closed every socket since the check above; this one must not
  // outlive it.
  if (!posix::Started()) {
    ::close(fd);
    WSASetLastError(WSANOTINITIALISED);
    return INVALID_SOCKET;
  }
  posix::SocketState state;
  state.fd = fd;
  const SOCKET handle = registry.sockets.Add(std::move(state));
  if (handle == 0) {
    ::close(fd);
    WSASetLastError(WSAENOBUFS);
    return INVALID_SOCKET;
  }
  return handle;
}

int closesocket(SOCKET s) {
  // An injected failure is reported after the socket is gone, so that it cannot leak one.
  const int injected = posix::faults::InjectedError(posix::faults::Call::kCloseSocket);
  Registry& registry = Registry::Get();
  int fd;
  {
    posix::RegistryGuard lock(registry.mutex);
    posix::SocketState* socket = posix::Lookup(registry, s);
    if (socket == nullptr) {
      return SOCKET_ERROR;
    }
    fd = posix::DetachSocket(registry, s, *socket);
  }
  // Graceful: queued bytes are still delivered, then FIN.
  if (fd >= 0) {
    ::close(fd);
  }
  if (injected != 0) {
    return posix::Fail(injected);
  }
  return 0;
}

int bind(SOCKET s, const sockaddr* name, int name_length) {
  return posix::OnSocket(posix::faults::Call::kBind, s, SOCKET_ERROR, [&](posix::SocketCall& call) {
    sockaddr_in address;
    if (const int error = posix::ReadAddress(name, name_length, &address)) {
      return posix::Fail(error);
    }
    return posix::BindNative(*call.socket, posix::ToNative(address));
  });
}

int listen(SOCKET s, int backlog) {
  return posix::OnSocket(posix::faults::Call::kListen, s, SOCKET_ERROR,
                         [&](posix::SocketCall& call) { return posix::Listen(call, backlog); });
}

int getsockname(SOCKET s, sockaddr* name, int* name_length) {
  return posix::OnSocket(
      posix::faults::Call::kGetSockName, s, SOCKET_ERROR,
      [&](posix::SocketCall& call) { return posix::LocalName(call, name, name_length); });
}

int setsockopt(SOCKET s, int level, int name, const char* value, int value_length) {
  return posix::OnSocket(posix::faults::Call::kSetSockOpt, s, SOCKET_ERROR,
                         [&](posix::SocketCall& call) {
                           return posix::SetOption(call, level, name, value, value_length);
                         });
}

int WSAConnect(SOCKET s, const sockaddr* name, int name_length, LPWSABUF /*caller_data*/,
               LPWSABUF /*callee_data*/, LPQOS /*sqos*/, LPQOS /*gqos*/) {
  // Connect data and quality of service do not exist for TCP/IPv4; they are ignored.
  return posix::OnSocket(posix::faults::Call::kWSAConnect, s, SOCKET_ERROR,
                         [&](posix::SocketCall& call) {
                           sockaddr_in address;
                           if (const int error = posix::ReadAddress(name, name_length, &address)) {
                             return posix::Fail(error);
                           }
                           return posix::Connect(call, s, posix::ToNative(address));
                         });
}

SOCKET WSAAccept(SOCKET s, sockaddr* address, LPINT address_length, LPCONDITIONPROC condition,
                 DWORD_PTR /*callback_data*/) {
  return posix::OnSocket(posix::faults::Call::kWSAAccept, s, INVALID_SOCKET,
                         [&](posix::SocketCall& call) {
                           return posix::Accept(call, s, address, address_length, condition);
                         });
}

}  // namespace ostrel::wsa

namespace ostrel::platform {

int DeferClientPortChoice(SOCKET socket) {
  wsa::posix::Registry& registry = wsa::posix::Registry::Get();
  posix::RegistryGuard lock(registry.mutex);
  wsa::posix::SocketState* state = wsa::posix::Lookup(registry, socket);
  if (state == nullptr) {
    return wsa::WSAGetLastError();
  }
  if (sys::kIpBindAddressNoPort < 0) {
    return wsa::WSAENOPROTOOPT;
  }
  state->defer_port_choice = true;  // applied by the bind, if it needs it at all
  return 0;
}

}  // namespace ostrel::platform
