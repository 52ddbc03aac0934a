// Network events: when each is recorded, WSAEventSelect and WSAEnumNetworkEvents.
//
// The rules follow what Windows does rather than what poll() says: FD_CONNECT once per connect
// with its error; FD_WRITE when the connection is made and afterwards only once a send that
// could not finish at once has room again (a failed connect also looks writable on Linux);
// FD_READ while bytes wait, never for the end of the stream, and again after every receive;
// FD_CLOSE once, on the peer's FIN or reset, even with bytes still unread. Events are recorded
// whatever the selection's mask, and stay recorded until enumerated.
#include "platform/posix/system.h"

#include "platform/posix/errors.h"
#include "platform/posix/fault_injection.h"
#include "platform/posix/registry.h"

namespace ostrel::wsa {
namespace posix {
namespace {

void RecordClose(Registry& registry, SocketState& socket, int error) {
  if (!socket.close_recorded) {
    socket.close_recorded = true;
    registry.Record(socket, FD_CLOSE, error);
  }
}

// The connect has finished one way or the other: record FD_CONNECT with its outcome. Writable
// without an error or hang-up means made; only otherwise is the error read back.
void FinishConnect(Registry& registry, SocketState& socket, short revents) {
  int error = 0;
  if ((revents & (POLLERR | POLLHUP)) != 0) {
    ::socklen_t length = sizeof error;
    if (::getsockopt(socket.fd, sys::kSolSocket, sys::kSoError, &error, &length) != 0) {
      error = errno;
    }
  }
  // With nothing listening, a loopback connect can meet itself (simultaneous open when the
  // local port equals the target port); nobody is there, so it counts as refused.
  if (error == 0 && ConnectedToItself(socket)) {
    ::shutdown(socket.fd, SHUT_RDWR);
    error = ECONNREFUSED;
  }
  if (error == 0) {
    MarkConnected(registry, socket, /*record_connect=*/true);
  } else if (error == ECONNRESET || error == EPIPE) {
    // Made, then reset before anyone looked (a refusal would be ECONNREFUSED): as on Windows,
    // a connect that succeeded and a close that followed.
    MarkConnected(registry, socket, /*record_connect=*/true);
    socket.end_of_stream = true;
    RecordClose(registry, socket, WSAECONNABORTED);
  } else {
    socket.phase = Phase::kConnectFailed;
    socket.armed = 0;
    registry.Record(socket, FD_CONNECT, ErrorFromErrno(error));
  }
}

// poll() said readable: bytes waiting give FD_READ; the end of the stream or a reset gives
// FD_CLOSE (if not yet recorded) and nothing more from POLLIN.
bool NoteReadable(Registry& registry, SocketState& socket) {
  int waiting = 0;
  if (::ioctl(socket.fd, FIONREAD, &waiting) == 0 && waiting > 0) {
    socket.armed &= ~FD_READ;
    registry.Record(socket, FD_READ, 0);
    return true;
  }
  char byte;
  const ssize_t peeked = ::recv(socket.fd, &byte, 1, sys::kMsgPeek | MSG_DONTWAIT);
  if (peeked > 0) {
    socket.armed &= ~FD_READ;
    registry.Record(socket, FD_READ, 0);
    return true;
  }
  if (peeked < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
    return false;
  }
  socket.end_of_stream = true;
  RecordClose(registry, socket, peeked == 0 ? 0 : WSAECONNABORTED);
  return true;
}

bool RefreshConnected(Registry& registry, SocketState& socket, short revents) {
  bool changed = false;
  const short trouble = POLLERR | POLLHUP;
  if (socket.receive.active() && (revents & (POLLIN | trouble)) != 0) {
    changed |= DriveReceive(registry, socket);
  }
  if (socket.send.active() && (revents & (POLLOUT | trouble)) != 0) {
    changed |= DriveSend(registry, socket);
  }
  if ((revents & POLLIN) != 0 && (socket.armed & FD_READ) != 0 && !socket.end_of_stream &&
      !socket.receive.active()) {
    changed |= NoteReadable(registry, socket);
  }
  if (!socket.close_recorded && (revents & (sys::kPollRdHup | trouble)) != 0) {
    // Windows reports a reset as FD_CLOSE with WSAECONNABORTED, a FIN with 0.
    RecordClose(registry, socket, (revents & POLLERR) != 0 ? WSAECONNABORTED : 0);
    changed = true;
  }
  if ((socket.armed & FD_WRITE) != 0 && !socket.send.active() &&
      (revents & (POLLOUT | trouble)) != 0) {
    socket.armed &= ~FD_WRITE;
    registry.Record(socket, FD_WRITE, 0);
    changed = true;
  }
  return changed;
}

}  // namespace

bool ReadLocalAddress(SocketState& socket, sys::native_sockaddr_in* local) {
  if (!socket.local_known) {
    ::socklen_t length = sizeof socket.local;
    if (::getsockname(socket.fd, reinterpret_cast<sys::native_sockaddr*>(&socket.local), &length) !=
        0) {
      return false;
    }
    socket.local_known = true;
  }
  *local = socket.local;
  return true;
}

bool ConnectedToItself(SocketState& socket) {
  sys::native_sockaddr_in local{};
  return ReadLocalAddress(socket, &local) && local.sin_port == socket.remote.sin_port &&
         local.sin_addr.s_addr == socket.remote.sin_addr.s_addr;
}

void MarkConnected(Registry& registry, SocketState& socket, bool record_connect) {
  socket.phase = Phase::kConnected;
  socket.armed = FD_READ;
  if (record_connect) {
    registry.Record(socket, FD_CONNECT, 0);
  }
  registry.Record(socket, FD_WRITE, 0);
}

short PollInterest(const SocketState& socket) {
  switch (socket.phase) {
    case Phase::kConnecting:
      return POLLOUT;
    case Phase::kListening:
      return (socket.armed & FD_ACCEPT) != 0 ? POLLIN : 0;
    case Phase::kConnected: {
      short interest = 0;
      if (socket.receive.active() || ((socket.armed & FD_READ) != 0 && !socket.end_of_stream)) {
        interest |= POLLIN;
      }
      if (socket.send.active() || (socket.armed & FD_WRITE) != 0) {
        interest |= POLLOUT;
      }
      if (!socket.close_recorded) {
        interest |= sys::kPollRdHup;
      }
      return interest;
    }
    case Phase::kIdle:
    case Phase::kConnectStarting:
    case Phase::kConnectFailed:
      break;
  }
  return 0;
}

bool Refresh(Registry& registry, SocketState& socket, short revents) {
  switch (socket.phase) {
    case Phase::kConnecting:
      if ((revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
        FinishConnect(registry, socket, revents);
        return true;
      }
      return false;
    case Phase::kListening:
      if ((revents & POLLIN) != 0 && (socket.armed & FD_ACCEPT) != 0) {
        socket.armed &= ~FD_ACCEPT;
        registry.Record(socket, FD_ACCEPT, 0);
        return true;
      }
      return false;
    case Phase::kConnected:
      return RefreshConnected(registry, socket, revents);
    case Phase::kIdle:
    case Phase::kConnectStarting:
    case Phase::kConnectFailed:
      break;
  }
  return false;
}

bool RefreshNow(Registry& registry, SocketState& socket) {
  const short interest = PollInterest(socket);
  if (interest == 0) {
    return false;
  }
  ::pollfd entry{socket.fd, interest, 0};
  if (::poll(&entry, 1, 0) <= 0) {
    return false;
  }
  return Refresh(registry, socket, entry.revents);
}

int Select(SocketCall& call, WSAEVENT event, long network_events) {
  SocketState& socket = *call.socket;
  if (network_events != 0 && call.registry.FindEvent(event) == nullptr) {
    return Fail(WSAEINVAL);
  }
  // The descriptor is always non-blocking underneath; this makes the socket's calls behave so.
  socket.non_blocking = true;
  socket.selected_event = event;
  socket.selected_mask = network_events;
  // Events recorded earlier are kept: a new selection that asks for one is signalled at once.
  if ((socket.recorded & network_events) == 0) {
    RefreshNow(call.registry, socket);
  }
  if ((socket.recorded & network_events) != 0) {
    call.registry.Signal(event);
  }
  return 0;
}

int Enumerate(SocketCall& call, WSAEVENT event, LPWSANETWORKEVENTS network_events) {
  if (call.fault.effect == faults::Effect::kEmpty && network_events != nullptr) {
    network_events->lNetworkEvents = 0;  // as when another thread set the event
    return 0;
  }
  SocketState& socket = *call.socket;
  EventState* event_state = nullptr;
  if (event != nullptr && (event_state = call.registry.FindEvent(event)) == nullptr) {
    return Fail(WSAEINVAL);
  }
  if (network_events == nullptr) {
    return Fail(WSAEFAULT);
  }
  // A selected event already recorded is reported without looking again: the wait that
  // recorded it has just looked, and what a second look finds is reported next time.
  if ((socket.recorded & socket.selected_mask) == 0 || socket.send.active() ||
      socket.receive.active()) {
    RefreshNow(call.registry, socket);
  }
  const long reported = socket.recorded & socket.selected_mask;
  network_events->lNetworkEvents = reported;
  for (int bit = 0; bit < FD_MAX_EVENTS; ++bit) {
    if ((reported & (1L << bit)) != 0) {
      network_events->iErrorCode[bit] = socket.errors[bit];
    }
  }
  // Only the reported events are cleared; others stay for a later selection that asks.
  socket.recorded &= ~reported;
  if (event_state != nullptr) {
    event_state->signalled = false;
  }
  return 0;
}

}  // namespace posix

using posix::Registry;

int WSAEventSelect(SOCKET s, WSAEVENT event, long network_events) {
  return posix::OnSocket(
      posix::faults::Call::kWSAEventSelect, s, SOCKET_ERROR,
      [&](posix::SocketCall& call) { return posix::Select(call, event, network_events); });
}

int WSAEnumNetworkEvents(SOCKET s, WSAEVENT event, LPWSANETWORKEVENTS network_events) {
  return posix::OnSocket(
      posix::faults::Call::kWSAEnumNetworkEvents, s, SOCKET_ERROR,
      [&](posix::SocketCall& call) { return posix::Enumerate(call, event, network_events); });
}

}  // namespace ostrel::wsa
