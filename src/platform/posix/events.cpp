// Event objects (manual-reset, made non-signalled), the registry and the waits on events.
#include "platform/posix/system.h"

#include <fcntl.h>
#if defined(__linux__)
#include <sys/eventfd.h>
#endif

#include <algorithm>
#include <cstdint>

#include "platform/posix/fault_injection.h"
#include "platform/posix/registry.h"
#include "platform/posix/wait.h"

namespace ostrel::wsa {
namespace posix {
namespace {

// -1 until the thread first waits; then the descriptor other threads write to.
thread_local int own_wake_write_fd = -1;

class WakeChannelHolder {
 public:
  WakeChannelHolder() {
#if defined(__linux__)
    channel_.read_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    channel_.write_fd = channel_.read_fd;
#else
    int ends[2] = {-1, -1};
    if (::pipe(ends) == 0) {
      for (int fd : ends) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
      }
    }
    channel_.read_fd = ends[0];
    channel_.write_fd = ends[1];
#endif
    own_wake_write_fd = channel_.write_fd;
  }
  ~WakeChannelHolder() {
    if (channel_.read_fd >= 0) {
      ::close(channel_.read_fd);
    }
    if (channel_.write_fd >= 0 && channel_.write_fd != channel_.read_fd) {
      ::close(channel_.write_fd);
    }
  }
  WakeChannelHolder(const WakeChannelHolder&) = delete;
  WakeChannelHolder& operator=(const WakeChannelHolder&) = delete;

  const WakeChannel& channel() const { return channel_; }

 private:
  WakeChannel channel_{-1, -1};
};

void Wake(int write_fd) {
  const std::uint64_t one = 1;  // an eventfd takes 8 bytes; a pipe takes any
  ssize_t written;
  do {
    written = ::write(write_fd, &one, sizeof one);
  } while (written < 0 && errno == EINTR);
  // A full channel (EAGAIN) already wakes its reader.
}

}  // namespace

Registry& Registry::Get() {
  // Never destroyed: sockets and events may still be used while static objects go away.
  static Registry* registry = new Registry;
  return *registry;
}

EventState* Registry::FindEvent(WSAEVENT event) {
  return events.Find(reinterpret_cast<std::uintptr_t>(event));
}

void Registry::Signal(WSAEVENT event) {
  EventState* state = FindEvent(event);
  if (state == nullptr) {
    return;
  }
  state->signalled = true;
  for (int fd : state->waiter_fds) {
    if (fd != own_wake_write_fd) {
      Wake(fd);
    }
  }
}

void Registry::Record(SocketState& socket, long event, int error) {
  socket.recorded |= event;
  for (int bit = 0; bit < FD_MAX_EVENTS; ++bit) {
    if (event == (1L << bit)) {
      socket.errors[bit] = error;
    }
  }
  if ((socket.selected_mask & event) != 0) {
    Signal(socket.selected_event);
  }
}

const WakeChannel& ThreadWake() {
  thread_local WakeChannelHolder holder;
  return holder.channel();
}

WaitScratch& ThreadWaitScratch() {
  thread_local WaitScratch scratch;
  return scratch;
}

void DrainWakeFd(int fd) {
  std::uint64_t sink[8];
  while (::read(fd, sink, sizeof sink) > 0) {
  }
}

void RegisterWaiter(Registry& registry, const WSAEVENT* events, DWORD count, int wake_fd) {
  for (DWORD i = 0; i < count; ++i) {
    if (EventState* state = registry.FindEvent(events[i])) {
      state->waiter_fds.push_back(wake_fd);
    }
  }
}

void UnregisterWaiter(Registry& registry, const WSAEVENT* events, DWORD count, int wake_fd) {
  for (DWORD i = 0; i < count; ++i) {
    if (EventState* state = registry.FindEvent(events[i])) {
      auto& fds = state->waiter_fds;
      auto found = std::find(fds.begin(), fds.end(), wake_fd);
      if (found != fds.end()) {
        fds.erase(found);
      }
    }
  }
}

namespace {

// A wait's injected outcome, if the fault names one.
bool InjectedWaitResult(const faults::Action& fault, DWORD* result) {
  switch (fault.effect) {
    case faults::Effect::kFail:
      WSASetLastError(fault.error);
      *result = WSA_WAIT_FAILED;
      return true;
    case faults::Effect::kTimeOut:
      *result = WSA_WAIT_TIMEOUT;
      return true;
    case faults::Effect::kWake:
      *result = WSA_WAIT_EVENT_0;
      return true;
    default:
      return false;
  }
}

// kDone with *result set when the events are signalled as the wait asks (all of them, or
// any: then the first); kFailed when one is gone.
WaitState CheckSignalled(Registry& registry, const WSAEVENT* events, DWORD count, bool wait_all,
                         DWORD* result) {
  DWORD first_signalled = count;
  bool all = true;
  for (DWORD i = 0; i < count; ++i) {
    const EventState* state = registry.FindEvent(events[i]);
    if (state == nullptr) {
      WSASetLastError(WSA_INVALID_HANDLE);
      return WaitState::kFailed;
    }
    if (state->signalled) {
      first_signalled = std::min(first_signalled, i);
    } else {
      all = false;
    }
  }
  if (wait_all ? all : first_signalled < count) {
    *result = WSA_WAIT_EVENT_0 + (wait_all ? 0 : first_signalled);
    return WaitState::kDone;
  }
  return WaitState::kPending;
}

// Whether the socket's selection or one of its pending transfers can set one of the events.
bool CanSetOneOf(const SocketState& socket, const WSAEVENT* events, DWORD count) {
  auto listed = [&](WSAEVENT event) {
    return event != nullptr && std::find(events, events + count, event) != events + count;
  };
  return (socket.selected_mask != 0 && listed(socket.selected_event)) ||
         (socket.send.active() && listed(socket.send.overlapped->hEvent)) ||
         (socket.receive.active() && listed(socket.receive.overlapped->hEvent));
}

}  // namespace
}  // namespace posix

using posix::Registry;

WSAEVENT WSACreateEvent() {
  if (const int injected = posix::faults::InjectedError(posix::faults::Call::kWSACreateEvent)) {
    WSASetLastError(injected);
    return WSA_INVALID_EVENT;
  }
  Registry& registry = Registry::Get();
  posix::RegistryGuard lock(registry.mutex);
  const std::uintptr_t handle = registry.events.Add(posix::EventState{});
  if (handle == 0) {
    WSASetLastError(WSA_NOT_ENOUGH_MEMORY);
    return WSA_INVALID_EVENT;
  }
  return reinterpret_cast<WSAEVENT>(handle);
}

BOOL WSACloseEvent(WSAEVENT event) {
  // An injected failure is reported after the event is gone, so that it cannot leak one.
  const int injected = posix::faults::InjectedError(posix::faults::Call::kWSACloseEvent);
  Registry& registry = Registry::Get();
  posix::RegistryGuard lock(registry.mutex);
  if (!registry.events.Remove(reinterpret_cast<std::uintptr_t>(event))) {
    WSASetLastError(WSA_INVALID_HANDLE);
    return FALSE;
  }
  if (injected != 0) {
    WSASetLastError(injected);
    return FALSE;
  }
  // Sockets still selected on it keep a handle that now finds nothing.
  return TRUE;
}

BOOL WSASetEvent(WSAEVENT event) {
  if (const int injected = posix::faults::InjectedError(posix::faults::Call::kWSASetEvent)) {
    WSASetLastError(injected);
    return FALSE;
  }
  Registry& registry = Registry::Get();
  posix::RegistryGuard lock(registry.mutex);
  if (registry.FindEvent(event) == nullptr) {
    WSASetLastError(WSA_INVALID_HANDLE);
    return FALSE;
  }
  registry.Signal(event);
  return TRUE;
}

BOOL WSAResetEvent(WSAEVENT event) {
  if (const int injected = posix::faults::InjectedError(posix::faults::Call::kWSAResetEvent)) {
    WSASetLastError(injected);
    return FALSE;
  }
  Registry& registry = Registry::Get();
  posix::RegistryGuard lock(registry.mutex);
  posix::EventState* state = registry.FindEvent(event);
  if (state == nullptr) {
    WSASetLastError(WSA_INVALID_HANDLE);
    return FALSE;
  }
  state->signalled = false;
  return TRUE;
}

DWORD WSAWaitForMultipleEvents(DWORD count, const WSAEVENT* events, BOOL wait_all, DWORD timeout_ms,
                               BOOL /*alertable: no completion routines*/) {
  const posix::faults::Action fault =
      posix::faults::Intercept(posix::faults::Call::kWSAWaitForMultipleEvents);
  DWORD result = WSA_WAIT_FAILED;
  if (posix::InjectedWaitResult(fault, &result)) {
    return result;
  }
  if (count == 0 || count > WSA_MAXIMUM_WAIT_EVENTS || events == nullptr) {
    WSASetLastError(WSA_INVALID_PARAMETER);
    return WSA_WAIT_FAILED;
  }
  auto check = [&](Registry& registry) {
    return posix::CheckSignalled(registry, events, count, wait_all != FALSE, &result);
  };
  // The sockets whose network events or pending transfers can set one of the events.
  auto drives = [&](SOCKET, const posix::SocketState& socket) {
    return posix::CanSetOneOf(socket, events, count);
  };
  const bool end_when_idle = fault.effect == posix::faults::Effect::kTimeOutIfIdle;
  switch (posix::WaitUntil(events, count, timeout_ms, check, drives, end_when_idle)) {
    case posix::WaitState::kDone:
      return result;
    case posix::WaitState::kPending:
      return WSA_WAIT_TIMEOUT;
    case posix::WaitState::kFailed:
      break;
  }
  return WSA_WAIT_FAILED;
}

}  // namespace ostrel::wsa
