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

int Fail(int error) {
  WSASetLastError(error);
  return SOCKET_ERROR;
}

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

bool BlockUntilReady(Registry& registry, std::unique_lock<std::mutex>& lock, SOCKET s,
                     short events) {
  SocketState* socket = registry.FindSocket(s);
  if (socket == nullptr) {
    return false;
  }
  ++socket->blocked;  // closesocket then wakes this thread
  ::pollfd entry{socket->fd, events, 0};
  lock.unlock();
  (void)faults::Intercept(faults::Call::kBlockedWait);
  int ready;
  do {
    ready = ::poll(&entry, 1, -1);
  } while (ready < 0 && errno == EINTR);
  lock.lock();
  if ((socket = registry.FindSocket(s)) != nullptr) {
    --socket->blocked;
  } else {
    // Closed meanwhile: the descriptor was left open for the threads blocked on it.
    auto& closing = registry.closing;
    const auto found =
        std::find_if(closing.begin(), closing.end(),
                     [&](const std::pair<int, int>& c) { return c.first == entry.fd; });
    if (found != closing.end() && --found->second == 0) {
      ::close(found->first);
      closing.erase(found);
    }
  }
  return ready > 0;
}

int DetachSocket(Registry& registry, SOCKET s, SocketState& socket) {
  // Pending transfers end as cancelled; their events are set.
  for (PendingTransfer* transfer : {&socket.send, &socket.receive}) {
    if (transfer->active()) {
      CompleteTransfer(registry, *transfer, WSA_OPERATION_ABORTED, 0);
    }
  }
  int fd = socket.fd;
  if (socket.blocked > 0) {
    // A thread asleep in poll() on the descriptor is not woken by close(); shutting the
    // connection down wakes it (or makes its poll() return at once), and it finds the socket
    // gone (WSAEINTR, as Windows reports it). The last such thread closes the descriptor.
    ::shutdown(fd, SHUT_RDWR);
    registry.closing.emplace_back(fd, socket.blocked);
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
  if (!posix::Started()) {
    WSASetLastError(WSANOTINITIALISED);
    return INVALID_SOCKET;
  }
  if (family != AF_INET) {
    WSASetLastError(WSAEAFNOSUPPORT);
    return INVALID_SOCKET;
  }
  if (type != SOCK_STREAM) {
    WSASetLastError(WSAESOCKTNOSUPPORT);
    return INVALID_SOCKET;
  }
  if (protocol != 0 && protocol != IPPROTO_TCP) {
    WSASetLastError(WSAEPROTONOSUPPORT);
    return INVALID_SOCKET;
  }
  if (protocol_info != nullptr || group != 0) {
    WSASetLastError(WSAEINVAL);
    return INVALID_SOCKET;
  }
  const int fd = posix::NewDescriptor();
  if (fd < 0) {
    posix::FailFromErrno();
    return INVALID_SOCKET;
  }
  posix::NoSigPipe(fd);
  Registry& registry = Registry::Get();
  std::lock_guard<std::mutex> lock(registry.mutex);
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
    std::lock_guard<std::mutex> lock(registry.mutex);
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
  if (const int injected = posix::faults::InjectedError(posix::faults::Call::kBind)) {
    return posix::Fail(injected);
  }
  Registry& registry = Registry::Get();
  std::lock_guard<std::mutex> lock(registry.mutex);
  posix::SocketState* socket = posix::Lookup(registry, s);
  if (socket == nullptr) {
    return SOCKET_ERROR;
  }
  sockaddr_in address;
  if (const int error = posix::ReadAddress(name, name_length, &address)) {
    return posix::Fail(error);
  }
  const sys::native_sockaddr_in native = posix::ToNative(address);
  if (::bind(socket->fd, reinterpret_cast<const sys::native_sockaddr*>(&native), sizeof native) !=
      0) {
    // Any port would do: none is free (Windows: WSAENOBUFS).
    if (errno == EADDRINUSE && address.sin_port == 0) {
      return posix::Fail(WSAENOBUFS);
    }
    return posix::FailFromErrno();
  }
  return 0;
}

int listen(SOCKET s, int backlog) {
  if (const int injected = posix::faults::InjectedError(posix::faults::Call::kListen)) {
    return posix::Fail(injected);
  }
  Registry& registry = Registry::Get();
  std::lock_guard<std::mutex> lock(registry.mutex);
  posix::SocketState* socket = posix::Lookup(registry, s);
  if (socket == nullptr) {
    return SOCKET_ERROR;
  }
  if (socket->phase == posix::Phase::kConnected || socket->phase == posix::Phase::kConnecting) {
    return posix::Fail(WSAEISCONN);
  }
  if (::listen(socket->fd, backlog < 0 ? 0 : backlog) != 0) {
    return posix::FailFromErrno();
  }
  socket->phase = posix::Phase::kListening;
  socket->armed = FD_ACCEPT;
  return 0;
}

int getsockname(SOCKET s, sockaddr* name, int* name_length) {
  if (const int injected = posix::faults::InjectedError(posix::faults::Call::kGetSockName)) {
    return posix::Fail(injected);
  }
  Registry& registry = Registry::Get();
  std::lock_guard<std::mutex> lock(registry.mutex);
  posix::SocketState* socket = posix::Lookup(registry, s);
  if (socket == nullptr) {
    return SOCKET_ERROR;
  }
  sys::native_sockaddr_in native{};
  ::socklen_t length = sizeof native;
  if (::getsockname(socket->fd, reinterpret_cast<sys::native_sockaddr*>(&native), &length) != 0) {
    return posix::FailFromErrno();
  }
  return posix::WriteAddress(native, name, name_length);
}

int getpeername(SOCKET s, sockaddr* name, int* name_length) {
  Registry& registry = Registry::Get();
  std::lock_guard<std::mutex> lock(registry.mutex);
  posix::SocketState* socket = posix::Lookup(registry, s);
  if (socket == nullptr) {
    return SOCKET_ERROR;
  }
  if (socket->phase != posix::Phase::kConnected) {
    return posix::Fail(WSAENOTCONN);
  }
  sys::native_sockaddr_in native{};
  ::socklen_t length = sizeof native;
  if (::getpeername(socket->fd, reinterpret_cast<sys::native_sockaddr*>(&native), &length) != 0) {
    return posix::FailFromErrno();
  }
  return posix::WriteAddress(native, name, name_length);
}

int setsockopt(SOCKET s, int level, int name, const char* value, int value_length) {
  if (const int injected = posix::faults::InjectedError(posix::faults::Call::kSetSockOpt)) {
    return posix::Fail(injected);
  }
  Registry& registry = Registry::Get();
  std::lock_guard<std::mutex> lock(registry.mutex);
  posix::SocketState* socket = posix::Lookup(registry, s);
  if (socket == nullptr) {
    return SOCKET_ERROR;
  }
  if (value == nullptr) {
    return posix::Fail(WSAEFAULT);
  }
  int native_level;
  int native_name;
  int integer = 0;
  ::linger native_linger{};
  const void* native_value = &integer;
  ::socklen_t native_length = sizeof integer;
  if (level == SOL_SOCKET && name == SO_LINGER) {
    if (value_length < static_cast<int>(sizeof(linger))) {
      return posix::Fail(WSAEFAULT);
    }
    linger windows_linger;
    std::memcpy(&windows_linger, value, sizeof windows_linger);
    native_linger.l_onoff = windows_linger.l_onoff;
    native_linger.l_linger = windows_linger.l_linger;
    native_level = sys::kSolSocket;
    native_name = sys::kSoLinger;
    native_value = &native_linger;
    native_length = sizeof native_linger;
  } else {
    if (level == SOL_SOCKET && name == SO_REUSEADDR) {
      native_level = sys::kSolSocket;
      native_name = sys::kSoReuseAddr;
    } else if (level == SOL_SOCKET && name == SO_SNDBUF) {
      native_level = sys::kSolSocket;
      native_name = sys::kSoSndBuf;
    } else if (level == SOL_SOCKET && name == SO_RCVBUF) {
      native_level = sys::kSolSocket;
      native_name = sys::kSoRcvBuf;
    } else if (level == IPPROTO_TCP && name == TCP_NODELAY) {
      native_level = sys::kIpProtoTcp;
      native_name = sys::kTcpNoDelay;
    } else {
      return posix::Fail(WSAENOPROTOOPT);
    }
    // Windows reads a BOOL or DWORD; a single byte is accepted for the on/off options too.
    if (value_length >= static_cast<int>(sizeof(int))) {
      std::memcpy(&integer, value, sizeof integer);
    } else if (value_length >= 1) {
      integer = static_cast<unsigned char>(value[0]);
    } else {
      return posix::Fail(WSAEFAULT);
    }
  }
  if (::setsockopt(socket->fd, native_level, native_name, native_value, native_length) != 0) {
    return posix::FailFromErrno();
  }
  return 0;
}

int getsockopt(SOCKET s, int level, int name, char* value, int* value_length) {
  Registry& registry = Registry::Get();
  std::lock_guard<std::mutex> lock(registry.mutex);
  posix::SocketState* socket = posix::Lookup(registry, s);
  if (socket == nullptr) {
    return SOCKET_ERROR;
  }
  if (value == nullptr || value_length == nullptr ||
      *value_length < static_cast<int>(sizeof(int))) {
    return posix::Fail(WSAEFAULT);
  }
  int native_name;
  if (level == SOL_SOCKET && name == SO_ERROR) {
    native_name = sys::kSoError;
  } else if (level == SOL_SOCKET && name == SO_SNDBUF) {
    native_name = sys::kSoSndBuf;
  } else if (level == SOL_SOCKET && name == SO_RCVBUF) {
    native_name = sys::kSoRcvBuf;
  } else {
    return posix::Fail(WSAENOPROTOOPT);
  }
  int integer = 0;
  ::socklen_t length = sizeof integer;
  if (::getsockopt(socket->fd, sys::kSolSocket, native_name, &integer, &length) != 0) {
    return posix::FailFromErrno();
  }
  if (native_name == sys::kSoError) {
    integer = posix::ErrorFromErrno(integer);
  }
  std::memcpy(value, &integer, sizeof integer);
  *value_length = sizeof integer;
  return 0;
}

int WSAConnect(SOCKET s, const sockaddr* name, int name_length, LPWSABUF /*caller_data*/,
               LPWSABUF /*callee_data*/, LPQOS /*sqos*/, LPQOS /*gqos*/) {
  // Connect data and quality of service do not exist for TCP/IPv4; they are ignored.
  const posix::faults::Action fault = posix::faults::Intercept(posix::faults::Call::kWSAConnect);
  if (fault.effect == posix::faults::Effect::kFail) {
    return posix::Fail(fault.error);
  }
  Registry& registry = Registry::Get();
  std::unique_lock<std::mutex> lock(registry.mutex);
  posix::SocketState* socket = posix::Lookup(registry, s);
  if (socket == nullptr) {
    return SOCKET_ERROR;
  }
  sockaddr_in address;
  if (const int error = posix::ReadAddress(name, name_length, &address)) {
    return posix::Fail(error);
  }
  // Windows refuses the all-zero address; Linux would connect to the local host.
  if (address.sin_addr.s_addr == INADDR_ANY) {
    return posix::Fail(WSAEADDRNOTAVAIL);
  }
  switch (socket->phase) {
    case posix::Phase::kConnecting:
      return posix::Fail(WSAEALREADY);
    case posix::Phase::kConnected:
      return posix::Fail(WSAEISCONN);
    case posix::Phase::kListening:
      return posix::Fail(WSAEINVAL);
    case posix::Phase::kIdle:
    case posix::Phase::kConnectFailed:
      break;  // a failed connect may be tried again
  }
  socket->remote = posix::ToNative(address);
  socket->recorded &= ~(FD_CONNECT | FD_WRITE);
  int result;
  do {
    result = ::connect(socket->fd, reinterpret_cast<const sys::native_sockaddr*>(&socket->remote),
                       sizeof socket->remote);
  } while (result != 0 && errno == EINTR);
  if (result == 0) {
    if (posix::ConnectedToItself(socket->fd, socket->remote)) {
      ::shutdown(socket->fd, SHUT_RDWR);
      socket->phase = posix::Phase::kConnectFailed;
      return posix::Fail(WSAECONNREFUSED);
    }
    posix::MarkConnected(registry, *socket, /*record_connect=*/true);
    return 0;
  }
  if (errno != EINPROGRESS) {
    const int error = errno;
    socket->phase = posix::Phase::kConnectFailed;
    return posix::Fail(posix::ConnectError(error));
  }
  socket->phase = posix::Phase::kConnecting;
  if (socket->non_blocking && fault.effect != posix::faults::Effect::kBlocking) {
    return posix::Fail(WSAEWOULDBLOCK);
  }
  // Blocking mode: wait for the outcome here (without a limit of our own, as Windows does;
  // the system's SYN retries end it).
  for (;;) {
    if (!posix::BlockUntilReady(registry, lock, s, POLLOUT) ||
        (socket = registry.FindSocket(s)) == nullptr) {
      return posix::Fail(WSAEINTR);
    }
    posix::RefreshNow(registry, *socket);
    if (socket->phase == posix::Phase::kConnected) {
      return 0;
    }
    if (socket->phase == posix::Phase::kConnectFailed) {
      socket->recorded &= ~FD_CONNECT;  // reported by this call instead
      return posix::Fail(socket->errors[FD_CONNECT_BIT]);
    }
  }
}

SOCKET WSAAccept(SOCKET s, sockaddr* address, LPINT address_length, LPCONDITIONPROC condition,
                 DWORD_PTR /*callback_data*/) {
  if (const int injected = posix::faults::InjectedError(posix::faults::Call::kWSAAccept)) {
    WSASetLastError(injected);
    return INVALID_SOCKET;
  }
  Registry& registry = Registry::Get();
  std::unique_lock<std::mutex> lock(registry.mutex);
  posix::SocketState* listener = posix::Lookup(registry, s);
  if (listener == nullptr) {
    return INVALID_SOCKET;
  }
  if (condition != nullptr) {
    WSASetLastError(WSAEOPNOTSUPP);  // condition functions are not offered
    return INVALID_SOCKET;
  }
  if (listener->phase != posix::Phase::kListening) {
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
    fd = posix::AcceptDescriptor(listener->fd, &peer);
    if (fd >= 0) {
      break;
    }
    if (errno == EINTR || errno == ECONNABORTED) {
      continue;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      posix::FailFromErrno();
      return INVALID_SOCKET;
    }
    if (listener->non_blocking) {
      WSASetLastError(WSAEWOULDBLOCK);
      return INVALID_SOCKET;
    }
    if (!posix::BlockUntilReady(registry, lock, s, POLLIN) ||
        (listener = registry.FindSocket(s)) == nullptr) {
      WSASetLastError(WSAEINTR);
      return INVALID_SOCKET;
    }
  }
  posix::NoSigPipe(fd);
  // As on Windows, the new socket takes over the listener's event selection.
  posix::SocketState state;
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
  posix::MarkConnected(registry, *registry.FindSocket(handle), /*record_connect=*/false);
  if (address != nullptr) {
    posix::WriteAddress(peer, address, address_length);
  }
  return handle;
}

}  // namespace ostrel::wsa

namespace ostrel::platform {

int DeferClientPortChoice(SOCKET socket) {
  wsa::posix::Registry& registry = wsa::posix::Registry::Get();
  std::lock_guard<std::mutex> lock(registry.mutex);
  wsa::posix::SocketState* state = wsa::posix::Lookup(registry, socket);
  if (state == nullptr) {
    return wsa::WSAGetLastError();
  }
  if (sys::kIpBindAddressNoPort < 0) {
    return wsa::WSAENOPROTOOPT;
  }
  const int on = 1;
  if (::setsockopt(state->fd, sys::kIpProtoIp, sys::kIpBindAddressNoPort, &on, sizeof on) != 0) {
    return wsa::posix::ErrorFromErrno(errno);
  }
  return 0;
}

}  // namespace ostrel::platform
