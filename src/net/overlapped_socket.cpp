// The overlapped socket: handle, completion events, overlapped records and addresses.
#include "net/overlapped_socket.h"

#include <chrono>
#include <cstring>

namespace ostrel::net {
namespace {

// How long a cancelled overlapped operation may take to complete.
constexpr DWORD kCancelSettleMs = 1000;

void CloseEvent(WSAEVENT& event) {
  if (event != WSA_INVALID_EVENT) {
    WSACloseEvent(event);
    event = WSA_INVALID_EVENT;
  }
}

}  // namespace

bool FailWith(int error) {
  WSASetLastError(error);
  return false;
}

OverlappedSocket::OverlappedSocket() : socket_(INVALID_SOCKET) {
  std::memset(&send_record_, 0, sizeof send_record_);
  std::memset(&receive_record_, 0, sizeof receive_record_);
  std::memset(&local_address_, 0, sizeof local_address_);
  std::memset(&remote_address_, 0, sizeof remote_address_);
}

// The class's own release, not the virtual one: a derived part is already gone here.
OverlappedSocket::~OverlappedSocket() { ReleaseHandles(); }

bool OverlappedSocket::Close() { return ReleaseHandles(); }

bool OverlappedSocket::ReleaseHandles() {
  bool closed = false;
  if (socket_ != INVALID_SOCKET) {
    SettlePending(send_record_);
    SettlePending(receive_record_);
    closed = closesocket(socket_) != SOCKET_ERROR;
    socket_ = INVALID_SOCKET;
  }
  CloseEvent(send_record_.hEvent);
  CloseEvent(receive_record_.hEvent);
  return closed;
}

// A transfer still under way would write into its record after the socket is gone (and the
// object perhaps freed): cancel it and collect the cancelled result first.
void OverlappedSocket::SettlePending(WSAOVERLAPPED& record) {
  if (HasOverlappedIoCompleted(&record)) {
    return;
  }
  DWORD transferred = 0;
  CancelAndCollect(record, &transferred);
}

// Cancels the record's operation and collects its result, waiting at most kCancelSettleMs for
// the cancelled operation to complete. True when it had in fact finished with success.
bool OverlappedSocket::CancelAndCollect(WSAOVERLAPPED& record, DWORD* transferred) {
  if (CancelIoEx(reinterpret_cast<HANDLE>(socket_), &record)) {
    WSAWaitForMultipleEvents(1, &record.hEvent, TRUE, kCancelSettleMs, FALSE);
  }
  if (CollectResult(record, false, transferred)) {
    return true;
  }
  if (!HasOverlappedIoCompleted(&record)) {
    // Nothing could be cancelled and nothing completes (an emulation can leave a record
    // marked as under way): treat it as settled rather than wait for ever.
    record.Internal = 0;
  }
  return false;
}

// Only the events that are missing: a Create that failed before leaves its events in place,
// and making them again would lose the first ones.
void OverlappedSocket::MakeMissingEvents() {
  if (send_record_.hEvent == WSA_INVALID_EVENT) {
    send_record_.hEvent = WSACreateEvent();
  }
  if (receive_record_.hEvent == WSA_INVALID_EVENT) {
    receive_record_.hEvent = WSACreateEvent();
  }
}

SOCKET OverlappedSocket::Create(int family, int type, int protocol, DWORD flags) {
  if (socket_ != INVALID_SOCKET) {
    return socket_;
  }
  socket_ = WSASocketA(family, type, protocol, nullptr, 0, flags);
  const int error = socket_ == INVALID_SOCKET ? WSAGetLastError() : 0;
  MakeMissingEvents();
  if (error != 0) {
    WSASetLastError(error);
  }
  return socket_;
}

bool OverlappedSocket::Bind(u_long address, u_short port) {
  if (socket_ == INVALID_SOCKET) {
    return FailWith(WSAENOTSOCK);
  }
  sockaddr_in name;
  std::memset(&name, 0, sizeof name);
  name.sin_family = AF_INET;
  name.sin_port = port;
  name.sin_addr.s_addr = address;
  if (bind(socket_, reinterpret_cast<const sockaddr*>(&name), sizeof name) == SOCKET_ERROR) {
    return false;
  }
  RefreshLocalAddress();
  return true;
}

void OverlappedSocket::RefreshLocalAddress() {
  int length = sizeof local_address_;
  getsockname(socket_, reinterpret_cast<sockaddr*>(&local_address_), &length);
}

bool OverlappedSocket::Attach(SOCKET handle) {
  if (socket_ != INVALID_SOCKET || send_record_.hEvent != WSA_INVALID_EVENT ||
      receive_record_.hEvent != WSA_INVALID_EVENT) {
    Close();
  }
  socket_ = handle;
  MakeMissingEvents();
  std::memset(&local_address_, 0, sizeof local_address_);
  return true;
}

bool OverlappedSocket::SetReuseAddress(bool on) {
  const int value = on ? 1 : 0;
  return setsockopt(socket_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&value),
                    sizeof value) != SOCKET_ERROR;
}

bool OverlappedSocket::SelectEvents(WSAEVENT event, long mask) {
  if (socket_ == INVALID_SOCKET) {
    return FailWith(WSAENOTSOCK);
  }
  return WSAEventSelect(socket_, event, mask) != SOCKET_ERROR;
}

int OverlappedSocket::Send(WSABUF* buffers, DWORD count, DWORD* transferred, DWORD flags) {
  if (WSASend(socket_, buffers, count, transferred, flags, &send_record_, nullptr) == 0) {
    return 0;
  }
  return StartError(send_record_);
}

int OverlappedSocket::Receive(WSABUF* buffers, DWORD count, DWORD* transferred, DWORD flags) {
  DWORD in_out_flags = flags;
  if (WSARecv(socket_, buffers, count, transferred, &in_out_flags, &receive_record_, nullptr) ==
      0) {
    return 0;
  }
  return StartError(receive_record_);
}

// A call that failed at once started nothing, but may have left the record marked as under
// way (Wine does): mark it settled, or a close would wait for a completion that never comes.
int OverlappedSocket::StartError(WSAOVERLAPPED& record) {
  const int error = WSAGetLastError();
  if (error != WSA_IO_PENDING) {
    record.Internal = 0;
  }
  return error;
}

bool OverlappedSocket::CollectResult(WSAOVERLAPPED& record, bool wait, DWORD* transferred) {
  DWORD flags = 0;
  if (!WSAGetOverlappedResult(socket_, &record, transferred, wait ? TRUE : FALSE, &flags)) {
    return false;
  }
  WSAResetEvent(record.hEvent);
  return true;
}

bool OverlappedSocket::GetSendResult(bool wait, DWORD* transferred) {
  return CollectResult(send_record_, wait, transferred);
}

bool OverlappedSocket::GetReceiveResult(bool wait, DWORD* transferred) {
  return CollectResult(receive_record_, wait, transferred);
}

bool OverlappedSocket::AwaitResult(WSAOVERLAPPED& record, DWORD limit_ms, DWORD* transferred) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
  int error = WSAETIMEDOUT;
  while (!HasOverlappedIoCompleted(&record)) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    const DWORD waited = WSAWaitForMultipleEvents(1, &record.hEvent, TRUE,
                                                  left > 0 ? static_cast<DWORD>(left) : 0, FALSE);
    if (waited == WSA_WAIT_EVENT_0) {
      if (!HasOverlappedIoCompleted(&record)) {
        WSAResetEvent(record.hEvent);  // set by someone else: keep waiting
      }
      continue;
    }
    if (waited != WSA_WAIT_TIMEOUT) {
      error = WSAGetLastError();
    }
    // The cancelled operation completes promptly; collecting it frees the record. It may also
    // have finished just before the cancel, and then it counts.
    if (CancelAndCollect(record, transferred)) {
      return true;
    }
    return FailWith(error);
  }
  return CollectResult(record, false, transferred);
}

bool OverlappedSocket::AwaitSendResult(DWORD limit_ms, DWORD* transferred) {
  return AwaitResult(send_record_, limit_ms, transferred);
}

bool OverlappedSocket::AwaitReceiveResult(DWORD limit_ms, DWORD* transferred) {
  return AwaitResult(receive_record_, limit_ms, transferred);
}

}  // namespace ostrel::net
