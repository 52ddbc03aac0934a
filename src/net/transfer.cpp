// The send and receive loops. Each pass waits up to kNotificationWaitMs for a notification,
// fetches it, and hands the whole remainder to one overlapped call.
#include "net/transfer.h"

#include <cstring>

#include "net/time_limits.h"

namespace ostrel::net {
namespace {

// Waits for the next notification and fetches it into `notes` (cleared first, so that a
// failing fetch can never leave stale bits to act on). False ends the loop, with the error set.
bool NextNotification(OverlappedSocket& socket, WSAEVENT event, WSANETWORKEVENTS* notes) {
  const DWORD waited = WSAWaitForMultipleEvents(1, &event, TRUE, kNotificationWaitMs, FALSE);
  if (waited == WSA_WAIT_TIMEOUT) {
    return FailWith(WSAETIMEDOUT);
  }
  if (waited != WSA_WAIT_EVENT_0) {
    return false;  // the wait failed; its error is set
  }
  std::memset(notes, 0, sizeof *notes);
  // A fetch that fails leaves the event signalled; going round again would spin on it, so the
  // loop ends with the fetch's error instead.
  return WSAEnumNetworkEvents(socket.Handle(), event, notes) != SOCKET_ERROR;
}

// The error that explains a peer's close before the transfer was done.
int CloseError(const WSANETWORKEVENTS& notes) {
  const int carried = notes.iErrorCode[FD_CLOSE_BIT];
  return carried != 0 ? carried : WSAECONNRESET;
}

}  // namespace

bool SendAll(OverlappedSocket& socket, WSAEVENT event, const void* data, std::uint32_t count) {
  std::uint32_t sent = 0;
  if (count == 0) {
    return true;
  }
  const char* bytes = static_cast<const char*>(data);
  for (;;) {
    WSANETWORKEVENTS notes;
    if (!NextNotification(socket, event, &notes)) {
      return false;
    }
    if ((notes.lNetworkEvents & FD_WRITE) != 0) {
      WSAResetEvent(event);
      WSABUF rest;
      rest.len = count - sent;
      rest.buf = const_cast<char*>(bytes + sent);  // only read by the send
      DWORD transferred = 0;
      const int result = socket.Send(&rest, 1, &transferred, 0);
      if (result == WSA_IO_PENDING) {
        if (!socket.AwaitSendResult(kPendingTransferLimitMs, &transferred)) {
          return false;
        }
      } else if (result != 0) {
        return FailWith(result);
      }
      sent += transferred;
    }
    // Looked at after the send: what the same pass allowed is sent first.
    if ((notes.lNetworkEvents & FD_CLOSE) != 0) {
      WSAResetEvent(event);
      return sent == count || FailWith(CloseError(notes));
    }
    if (sent >= count) {
      return sent == count;
    }
  }
}

bool ReceiveAll(OverlappedSocket& socket, WSAEVENT event, void* data, std::uint32_t count) {
  std::uint32_t received = 0;
  if (count == 0) {
    return true;
  }
  char* bytes = static_cast<char*>(data);
  // FD_CLOSE does not end the loop (bytes sent before the close may still be on their way);
  // it only names the reason when the next wait runs out.
  bool peer_closed = false;
  int close_error = 0;
  while (received < count) {
    WSANETWORKEVENTS notes;
    if (!NextNotification(socket, event, &notes)) {
      if (peer_closed && WSAGetLastError() == WSAETIMEDOUT) {
        WSASetLastError(close_error);
      }
      return false;
    }
    if ((notes.lNetworkEvents & FD_CLOSE) != 0) {
      peer_closed = true;
      close_error = CloseError(notes);
    }
    if ((notes.lNetworkEvents & FD_READ) != 0) {
      WSAResetEvent(event);
      WSABUF rest;
      rest.len = count - received;
      rest.buf = bytes + received;
      DWORD transferred = 0;
      const int result = socket.Receive(&rest, 1, &transferred, 0);
      if (result == WSA_IO_PENDING) {
        if (!socket.AwaitReceiveResult(kPendingTransferLimitMs, &transferred)) {
          return false;
        }
      } else if (result != 0) {
        return FailWith(result);
      }
      received += transferred;  // 0 at the end of the stream
    }
  }
  return true;
}

}  // namespace ostrel::net
