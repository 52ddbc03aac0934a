// The state behind the stand-ins' handles: event objects and sockets, under one lock.
//
// The library starts no threads, so nothing runs in the background: a socket's network events
// are recorded when a call looks at the socket (a wait, a selection, an enumeration), and a
// pending overlapped transfer moves on when a wait drives it. Every structure here is reached
// with the registry's mutex held; waits release it while they sleep in poll().
#pragma once

#include <mutex>
#include <utility>
#include <vector>

#include "platform/posix/fault_injection.h"
#include "platform/posix/handle_table.h"
#include "platform/posix/registry_mutex.h"
#include "platform/posix/system.h"

namespace ostrel::wsa::posix {

struct EventState {
  bool signalled = false;
  std::vector<int> waiter_fds;  // wake descriptors of the threads waiting on this event
};

// kConnectStarting: in connect() without the lock; no wait drives the socket yet.
enum class Phase { kIdle, kConnectStarting, kConnecting, kConnected, kConnectFailed, kListening };

// An overlapped transfer that could not finish at once.
struct PendingTransfer {
  WSAOVERLAPPED* overlapped = nullptr;  // null while none is pending
  std::vector<::iovec> rest;            // what is left to send, or where received bytes go
  DWORD done = 0;                       // bytes sent so far
  bool active() const { return overlapped != nullptr; }
};

struct SocketState {
  int fd = -1;
  Phase phase = Phase::kIdle;
  bool non_blocking = false;
  WSAEVENT selected_event = nullptr;
  long selected_mask = 0;
  long recorded = 0;  // network events recorded and not yet enumerated
  int errors[FD_MAX_EVENTS] = {};
  long armed = FD_READ | FD_WRITE | FD_ACCEPT;  // events that may be recorded (again)
  bool close_recorded = false;                  // FD_CLOSE is recorded once per connection
  bool end_of_stream = false;  // the peer's FIN was read past: POLLIN means nothing new
  int outside_lock = 0;        // threads using the descriptor without the lock (OutsideLock)
  bool sending = false;        // a WSASend is in sendmsg() without the lock
  sys::native_sockaddr_in remote{};
  // The local address as last read or set, while nothing can have changed it since: read from
  // the system at most once per bind, listen or connect.
  sys::native_sockaddr_in local{};
  bool local_known = false;
  // Options kept until a bind or listen needs them: a client bound to any address and port 0
  // whose port is chosen at connect time needs neither, nor the bind itself.
  bool reuse_address = false;
  bool defer_port_choice = false;
  PendingTransfer send;
  PendingTransfer receive;
};

class Registry {
 public:
  static Registry& Get();

  RegistryMutex mutex;
  HandleTable<EventState> events;
  HandleTable<SocketState> sockets;
  // Descriptors of sockets closed while threads were still using them without the lock, with
  // how many threads have yet to come back. The last one closes the descriptor: closed earlier,
  // its number could be handed to a new descriptor that a thread not yet in poll() would then
  // wait on for ever, or that a connect() or sendmsg() would act on.
  std::vector<std::pair<int, int>> closing;

  EventState* FindEvent(WSAEVENT event);
  SocketState* FindSocket(SOCKET s) { return sockets.Find(s); }

  // Sets the event and wakes the other threads waiting on it. A stale handle is ignored.
  void Signal(WSAEVENT event);
  // Records a network event on the socket and signals its selected event when the selection
  // asks for it.
  void Record(SocketState& socket, long event, int error);
};

// The socket behind a handle, with start-up checked (under the registry's lock); sets the
// error (WSANOTINITIALISED, WSAENOTSOCK) and gives null otherwise.
SocketState* Lookup(Registry& registry, SOCKET s);

// Empties a thread's wake channel after it woke the thread.
void DrainWakeFd(int fd);

// Completes an overlapped transfer: status 0 or an error code, byte count, event set.
void CompleteTransfer(Registry& registry, PendingTransfer& transfer, int status, DWORD bytes);

// Moves a pending transfer on (non-blocking); true when anything changed.
bool DriveSend(Registry& registry, SocketState& socket);
bool DriveReceive(Registry& registry, SocketState& socket);

// The poll() conditions that can change the socket's record or its pending transfers; 0 when
// nothing can, and the socket should not be polled.
short PollInterest(const SocketState& socket);
// Brings the socket's record and transfers up to date with what poll() reported; true when
// anything changed.
bool Refresh(Registry& registry, SocketState& socket, short revents);
// The same after a poll() of its own that does not wait.
bool RefreshNow(Registry& registry, SocketState& socket);

// A connection made: FD_WRITE recorded (and FD_CONNECT when this socket connected), FD_READ
// armed.
void MarkConnected(Registry& registry, SocketState& socket, bool record_connect);
// True when the connection's local address and port equal the remote ones.
bool ConnectedToItself(SocketState& socket);
// The socket's local address, read from the system only when not known; false when that fails.
bool ReadLocalAddress(SocketState& socket, sys::native_sockaddr_in* local);

// Looks the socket up again once a thread that ran OutsideLock holds the lock again; null when
// it was closed meanwhile (the last such thread then closes the descriptor).
SocketState* ReturnToLock(Registry& registry, SOCKET s, int fd);

// Runs call(fd) with the registry's lock released, so that other threads' calls need not wait
// for a slow system call; the descriptor stays open meanwhile even if the socket is closed.
// Gives the socket looked up again, or null when it was closed meanwhile.
template <class Call>
SocketState* OutsideLock(Registry& registry, RegistryLock& lock, SOCKET s, SocketState& socket,
                         Call call) {
  const int fd = socket.fd;
  ++socket.outside_lock;  // closesocket then wakes this thread and leaves it the descriptor
  lock.unlock();
  (void)faults::Intercept(faults::Call::kOutsideLock);
  call(fd);
  lock.lock();
  return ReturnToLock(registry, s, fd);
}

// The blocking mode of a socket that was never selected: sleeps without the lock until the
// socket's descriptor is ready for `events`, or until closesocket wakes it. The caller looks the
// socket up again afterwards (it may be gone). False when poll() failed.
bool BlockUntilReady(Registry& registry, RegistryLock& lock, SOCKET s, short events);

// Ends a socket as closesocket does (the registry's lock held): its pending transfers complete
// as cancelled, threads blocked on it wake, and its handle goes stale. Returns the descriptor
// for the caller to close after releasing the lock, or -1 when the last thread blocked on it
// will.
int DetachSocket(Registry& registry, SOCKET s, SocketState& socket);
// The same for every socket there is (the last WSACleanup); the descriptors to close.
std::vector<int> DetachEverySocket(Registry& registry);

// True while the Windows Sockets start-up count is above zero.
bool Started();

// What a socket call's body is given: the socket behind the handle, under the registry's lock,
// and the fault (if any) the test plan chose for the call.
struct SocketCall {
  Registry& registry;
  RegistryLock& lock;
  SocketState* socket;
  faults::Action fault;
};

// The opening every socket call shares: an injected failure ends it with `failed`; otherwise
// the registry is locked and the handle looked up (a stale one ends it with `failed` and the
// error set), and body(SocketCall&) gives the result.
template <class Result, class Body>
Result OnSocket(faults::Call hook, SOCKET s, Result failed, Body body) {
  const faults::Action fault = faults::Intercept(hook);
  if (fault.effect == faults::Effect::kFail) {
    WSASetLastError(fault.error);
    return failed;
  }
  Registry& registry = Registry::Get();
  RegistryLock lock(registry.mutex);
  SocketState* socket = Lookup(registry, s);
  if (socket == nullptr) {
    return failed;
  }
  SocketCall call{registry, lock, socket, fault};
  return body(call);
}

}  // namespace ostrel::wsa::posix
