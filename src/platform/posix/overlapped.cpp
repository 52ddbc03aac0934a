// Overlapped sends and receives: WSASend, WSARecv, WSAGetOverlappedResult, CancelIoEx.
//
// A transfer that cannot finish at once stays pending and moves on when a wait drives its
// socket (nothing runs in the background). As on Windows, an overlapped send completes with
// all its bytes or with an error, never with part of them; a receive completes with whatever
// arrived, 0 bytes meaning the peer closed. No send ever raises SIGPIPE.
#include "platform/posix/system.h"

#include <algorithm>
#include <cstdint>

#include "platform/posix/errors.h"
#include "platform/posix/fault_injection.h"
#include "platform/posix/registry.h"
#include "platform/posix/wait.h"

namespace ostrel::wsa {
namespace posix {
namespace {

constexpr int kSendFlags = sys::kMsgNoSignal | MSG_DONTWAIT;

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

std::vector<::iovec> ToIovecs(const WSABUF* buffers, DWORD count, std::size_t* total) {
  std::vector<::iovec> iovecs;
  iovecs.reserve(count);
  *total = 0;
  for (DWORD i = 0; i < count; ++i) {
    if (buffers[i].len != 0) {
      iovecs.push_back({buffers[i].buf, buffers[i].len});
      *total += buffers[i].len;
    }
  }
  return iovecs;
}

// Drops the first `bytes` bytes from the vector of buffers.
void Consume(std::vector<::iovec>& iovecs, std::size_t bytes) {
  std::size_t whole = 0;
  while (whole < iovecs.size() && bytes >= iovecs[whole].iov_len) {
    bytes -= iovecs[whole].iov_len;
    ++whole;
  }
  iovecs.erase(iovecs.begin(), iovecs.begin() + static_cast<std::ptrdiff_t>(whole));
  if (bytes > 0) {
    iovecs.front().iov_base = static_cast<char*>(iovecs.front().iov_base) + bytes;
    iovecs.front().iov_len -= bytes;
  }
}

// The first `limit` bytes of the buffers (all of them when they hold no more).
std::vector<::iovec> Limited(const std::vector<::iovec>& iovecs, std::size_t limit) {
  std::vector<::iovec> limited;
  for (const ::iovec& piece : iovecs) {
    if (limit == 0) {
      break;
    }
    const std::size_t length = std::min(piece.iov_len, limit);
    limited.push_back({piece.iov_base, length});
    limit -= length;
  }
  return limited;
}

constexpr std::size_t kNoLimit = static_cast<std::size_t>(-1);

// The room an injected fault leaves for one call: none, a few bytes, or no limit.
std::size_t InjectedRoom(const faults::Action& fault) {
  switch (fault.effect) {
    case faults::Effect::kWouldBlock:
      return 0;
    case faults::Effect::kShort:
      return fault.bytes;
    default:
      return kNoLimit;
  }
}

// One sendmsg() or recvmsg() (`call`) over the pieces, at most `limit` bytes of them (0: none,
// as if the call would block), again while a signal interrupts it.
template <class Call>
ssize_t TransferSome(std::vector<::iovec>& iovecs, std::size_t limit, Call call) {
  if (limit == 0) {
    errno = EAGAIN;
    return -1;
  }
  std::vector<::iovec> limited;
  if (limit != kNoLimit) {
    limited = Limited(iovecs, limit);
  }
  std::vector<::iovec>& pieces = limit != kNoLimit ? limited : iovecs;
  ::msghdr message{};
  message.msg_iov = pieces.data();
  message.msg_iovlen = pieces.size();
  ssize_t moved;
  do {
    moved = call(&message);
  } while (moved < 0 && errno == EINTR);
  return moved;
}

ssize_t SendSome(int fd, std::vector<::iovec>& iovecs, std::size_t limit = kNoLimit) {
  return TransferSome(iovecs, limit,
                      [fd](const ::msghdr* message) { return ::sendmsg(fd, message, kSendFlags); });
}

ssize_t ReceiveSome(int fd, std::vector<::iovec>& iovecs, std::size_t limit = kNoLimit) {
  return TransferSome(iovecs, limit,
                      [fd](::msghdr* message) { return ::recvmsg(fd, message, MSG_DONTWAIT); });
}

void StartPending(Registry& registry, PendingTransfer& transfer, WSAOVERLAPPED* overlapped,
                  std::vector<::iovec> rest, DWORD done) {
  transfer.overlapped = overlapped;
  transfer.rest = std::move(rest);
  transfer.done = done;
  overlapped->Internal = STATUS_PENDING;
  overlapped->InternalHigh = 0;
  if (EventState* event = registry.FindEvent(overlapped->hEvent)) {
    event->signalled = false;
  }
}

void CompleteAtOnce(Registry& registry, WSAOVERLAPPED* overlapped, DWORD bytes) {
  overlapped->Internal = 0;
  overlapped->InternalHigh = bytes;
  registry.Signal(overlapped->hEvent);
}

// A WSASend or WSARecv under way: what is left to send or where bytes go, and the room an
// injected fault leaves.
struct TransferCall {
  Registry& registry;
  RegistryLock& lock;
  SOCKET s;
  std::vector<::iovec> rest;
  std::size_t room;
  std::size_t moved = 0;  // bytes sent or received so far
};

// One sendmsg() without the lock (on loopback it carries the bytes to the peer). Gives the
// socket as looked up again, or null when it was closed meanwhile.
SocketState* SendOnce(TransferCall& call, SocketState* socket, ssize_t* result, int* error) {
  socket->sending = true;  // refuses other sends meanwhile
  socket = OutsideLock(call.registry, call.lock, call.s, *socket, [&](int fd) {
    *result = SendSome(fd, call.rest, call.room);
    *error = *result < 0 ? errno : 0;
  });
  if (socket != nullptr) {
    socket->sending = false;
  }
  return socket;
}

// The end of a transfer that moved call.moved bytes without waiting.
int TransferDone(const TransferCall& call, WSAOVERLAPPED* overlapped, DWORD* bytes_moved) {
  if (overlapped != nullptr) {
    CompleteAtOnce(call.registry, overlapped, static_cast<DWORD>(call.moved));
  }
  if (bytes_moved != nullptr) {
    *bytes_moved = static_cast<DWORD>(call.moved);
  }
  return 0;
}

// Sends until all is gone; what cannot go at once is left pending (overlapped), refused
// (non-blocking) or waited for (blocking).
int SendFrom(TransferCall& call, SocketState* socket, WSAOVERLAPPED* overlapped,
             DWORD* bytes_sent) {
  for (;;) {
    ssize_t result = 0;
    int error = 0;
    if (!call.rest.empty() && (socket = SendOnce(call, socket, &result, &error)) == nullptr) {
      return Fail(WSAEINTR);  // closed meanwhile, as Windows reports it
    }
    if (result < 0 && !WouldBlock(error)) {
      return Fail(ErrorFromErrno(error));
    }
    if (result > 0) {
      call.moved += static_cast<std::size_t>(result);
      Consume(call.rest, static_cast<std::size_t>(result));
      if (call.room != kNoLimit) {
        call.room -= static_cast<std::size_t>(result);
      }
    }
    if (call.rest.empty()) {
      return TransferDone(call, overlapped, bytes_sent);
    }
    // Room ran out: FD_WRITE will be recorded again once there is some.
    socket->armed |= FD_WRITE;
    if (overlapped != nullptr) {
      StartPending(call.registry, socket->send, overlapped, std::move(call.rest),
                   static_cast<DWORD>(call.moved));
      return Fail(WSA_IO_PENDING);
    }
    if (socket->non_blocking) {
      return call.moved == 0 ? Fail(WSAEWOULDBLOCK) : TransferDone(call, overlapped, bytes_sent);
    }
    if (!BlockUntilReady(call.registry, call.lock, call.s, POLLOUT) ||
        (socket = call.registry.FindSocket(call.s)) == nullptr) {
      return Fail(WSAEINTR);  // closed while blocked, as Windows reports it
    }
    call.room = kNoLimit;
  }
}

// Receives what is there, or leaves the receive pending (overlapped), refuses it
// (non-blocking) or waits (blocking).
int ReceiveInto(TransferCall& call, SocketState* socket, WSAOVERLAPPED* overlapped,
                DWORD* bytes_received) {
  for (;;) {
    // Every receive call, even one that fails, lets FD_READ be recorded again.
    socket->armed |= FD_READ;
    const ssize_t result = call.rest.empty() ? 0 : ReceiveSome(socket->fd, call.rest, call.room);
    if (result >= 0) {
      if (result == 0 && !call.rest.empty()) {
        socket->end_of_stream = true;
      }
      call.moved = static_cast<std::size_t>(result);
      return TransferDone(call, overlapped, bytes_received);
    }
    if (!WouldBlock(errno)) {
      return FailFromErrno();
    }
    if (overlapped != nullptr) {
      StartPending(call.registry, socket->receive, overlapped, std::move(call.rest), 0);
      return Fail(WSA_IO_PENDING);
    }
    if (socket->non_blocking) {
      return Fail(WSAEWOULDBLOCK);
    }
    if (!BlockUntilReady(call.registry, call.lock, call.s, POLLIN) ||
        (socket = call.registry.FindSocket(call.s)) == nullptr) {
      return Fail(WSAEINTR);
    }
    call.room = kNoLimit;
  }
}

// 0 when the result may be collected (or waited for), else the error that refuses it.
int ResultRefusal(Registry& registry, SOCKET s, const WSAOVERLAPPED* overlapped,
                  const DWORD* transferred, BOOL wait) {
  posix::RegistryGuard lock(registry.mutex);
  if (registry.FindSocket(s) == nullptr) {
    return WSAENOTSOCK;
  }
  if (overlapped == nullptr || transferred == nullptr) {
    return WSAEFAULT;
  }
  return overlapped->Internal == STATUS_PENDING && !wait ? WSA_IO_INCOMPLETE : 0;
}

}  // namespace

void CompleteTransfer(Registry& registry, PendingTransfer& transfer, int status, DWORD bytes) {
  WSAOVERLAPPED* overlapped = transfer.overlapped;
  transfer = PendingTransfer{};
  overlapped->InternalHigh = bytes;
  // Last, and atomically: HasOverlappedIoCompleted reads it without the registry's lock.
  __atomic_store_n(&overlapped->Internal, static_cast<ULONG_PTR>(status), __ATOMIC_RELEASE);
  registry.Signal(overlapped->hEvent);
}

bool DriveSend(Registry& registry, SocketState& socket) {
  PendingTransfer& transfer = socket.send;
  bool changed = false;
  while (transfer.active()) {
    const ssize_t sent = SendSome(socket.fd, transfer.rest);
    if (sent < 0) {
      if (WouldBlock(errno)) {
        return changed;
      }
      CompleteTransfer(registry, transfer, ErrorFromErrno(errno), 0);
      return true;
    }
    changed = true;
    transfer.done += static_cast<DWORD>(sent);
    Consume(transfer.rest, static_cast<std::size_t>(sent));
    if (transfer.rest.empty()) {
      CompleteTransfer(registry, transfer, 0, transfer.done);
    }
  }
  return changed;
}

bool DriveReceive(Registry& registry, SocketState& socket) {
  PendingTransfer& transfer = socket.receive;
  if (!transfer.active()) {
    return false;
  }
  const ssize_t received = ReceiveSome(socket.fd, transfer.rest);
  if (received < 0) {
    if (WouldBlock(errno)) {
      return false;
    }
    CompleteTransfer(registry, transfer, ErrorFromErrno(errno), 0);
    return true;
  }
  if (received == 0) {
    socket.end_of_stream = true;
  }
  CompleteTransfer(registry, transfer, 0, static_cast<DWORD>(received));
  return true;
}

}  // namespace posix

using posix::Registry;

int WSASend(SOCKET s, LPWSABUF buffers, DWORD buffer_count, LPDWORD bytes_sent, DWORD flags,
            LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE completion) {
  const posix::faults::Action fault = posix::faults::Intercept(posix::faults::Call::kWSASend);
  if (fault.effect == posix::faults::Effect::kFail) {
    return posix::Fail(fault.error);
  }
  Registry& registry = Registry::Get();
  posix::RegistryLock lock(registry.mutex);
  posix::SocketState* socket = posix::Lookup(registry, s);
  if (socket == nullptr) {
    return SOCKET_ERROR;
  }
  if (completion != nullptr || flags != 0) {
    return posix::Fail(WSAEOPNOTSUPP);  // completion routines and send flags are not offered
  }
  if (buffers == nullptr && buffer_count != 0) {
    return posix::Fail(WSAEFAULT);
  }
  if (socket->phase != posix::Phase::kConnected) {
    return posix::Fail(WSAENOTCONN);
  }
  if (socket->send.active() || socket->sending) {
    return posix::Fail(WSAEINPROGRESS);  // one overlapped send at a time
  }
  std::size_t total = 0;
  posix::TransferCall call{registry, lock, s, posix::ToIovecs(buffers, buffer_count, &total),
                           posix::InjectedRoom(fault)};
  return posix::SendFrom(call, socket, overlapped, bytes_sent);
}

int WSARecv(SOCKET s, LPWSABUF buffers, DWORD buffer_count, LPDWORD bytes_received, LPDWORD flags,
            LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE completion) {
  const posix::faults::Action fault = posix::faults::Intercept(posix::faults::Call::kWSARecv);
  if (fault.effect == posix::faults::Effect::kFail) {
    return posix::Fail(fault.error);
  }
  Registry& registry = Registry::Get();
  posix::RegistryLock lock(registry.mutex);
  posix::SocketState* socket = posix::Lookup(registry, s);
  if (socket == nullptr) {
    return SOCKET_ERROR;
  }
  if (flags == nullptr || (buffers == nullptr && buffer_count != 0)) {
    return posix::Fail(WSAEFAULT);
  }
  if (completion != nullptr || *flags != 0) {
    return posix::Fail(WSAEOPNOTSUPP);
  }
  if (socket->phase != posix::Phase::kConnected) {
    return posix::Fail(WSAENOTCONN);
  }
  if (socket->receive.active()) {
    return posix::Fail(WSAEINPROGRESS);
  }
  std::size_t total = 0;
  posix::TransferCall call{registry, lock, s, posix::ToIovecs(buffers, buffer_count, &total),
                           posix::InjectedRoom(fault)};
  const int result = posix::ReceiveInto(call, socket, overlapped, bytes_received);
  if (result == 0) {
    *flags = 0;
  }
  return result;
}

BOOL WSAGetOverlappedResult(SOCKET s, LPWSAOVERLAPPED overlapped, LPDWORD transferred, BOOL wait,
                            LPDWORD flags) {
  if (const int injected =
          posix::faults::InjectedError(posix::faults::Call::kWSAGetOverlappedResult)) {
    WSASetLastError(injected);
    return FALSE;
  }
  Registry& registry = Registry::Get();
  if (const int refused = posix::ResultRefusal(registry, s, overlapped, transferred, wait)) {
    WSASetLastError(refused);
    return FALSE;
  }
  // Waits without a limit, as Windows does; callers that must not hang wait on the record's
  // event with a limit first and cancel.
  auto check = [&](Registry&) {
    return overlapped->Internal == STATUS_PENDING ? posix::WaitState::kPending
                                                  : posix::WaitState::kDone;
  };
  auto drives = [&](SOCKET handle, const posix::SocketState&) { return handle == s; };
  WSAEVENT event = overlapped->hEvent;
  if (posix::WaitUntil(&event, event != nullptr ? 1 : 0, INFINITE, check, drives) !=
      posix::WaitState::kDone) {
    return FALSE;
  }
  posix::RegistryGuard lock(registry.mutex);
  const int status = static_cast<int>(overlapped->Internal);
  if (status != 0) {
    WSASetLastError(status);
    return FALSE;
  }
  *transferred = static_cast<DWORD>(overlapped->InternalHigh);
  if (flags != nullptr) {
    *flags = 0;
  }
  return TRUE;
}

BOOL CancelIoEx(HANDLE file, LPOVERLAPPED overlapped) {
  if (const int injected = posix::faults::InjectedError(posix::faults::Call::kCancelIoEx)) {
    WSASetLastError(injected);
    return FALSE;
  }
  Registry& registry = Registry::Get();
  posix::RegistryGuard lock(registry.mutex);
  posix::SocketState* socket = registry.FindSocket(reinterpret_cast<SOCKET>(file));
  if (socket == nullptr) {
    WSASetLastError(WSA_INVALID_HANDLE);
    return FALSE;
  }
  bool cancelled = false;
  for (posix::PendingTransfer* transfer : {&socket->send, &socket->receive}) {
    if (transfer->active() && (overlapped == nullptr || transfer->overlapped == overlapped)) {
      posix::CompleteTransfer(registry, *transfer, WSA_OPERATION_ABORTED, 0);
      cancelled = true;
    }
  }
  if (!cancelled) {
    WSASetLastError(ERROR_NOT_FOUND);
    return FALSE;
  }
  return TRUE;
}

}  // namespace ostrel::wsa
