// The one blocking loop of the stand-ins: sleep in poll() until a condition holds, driving the
// sockets that can make it hold.
#pragma once

#include <algorithm>
#include <chrono>
#include <vector>

#include "platform/posix/errors.h"
#include "platform/posix/registry.h"

namespace ostrel::wsa::posix {

enum class WaitState { kDone, kPending, kFailed };

void RegisterWaiter(Registry& registry, const WSAEVENT* events, DWORD count, int wake_fd);
void UnregisterWaiter(Registry& registry, const WSAEVENT* events, DWORD count, int wake_fd);
// The thread's wake channel: poll `read_fd`, other threads write to `write_fd`.
struct WakeChannel {
  int read_fd;
  int write_fd;
};
const WakeChannel& ThreadWake();

// A thread's poll() list, kept between waits so that a wait allocates nothing once warm.
struct WaitScratch {
  std::vector<::pollfd> fds;
  std::vector<SOCKET> handles;  // parallel to fds; slot 0 is the wake channel
  std::vector<SOCKET> quiet;
};
WaitScratch& ThreadWaitScratch();

// Fills the scratch's poll() list: the wake channel, then every socket that drives(handle,
// socket) names and that is not quiet, for what PollInterest names. The registry's lock is held.
template <class Drives>
void ListSocketsToPoll(Registry& registry, const WakeChannel& wake, WaitScratch& scratch,
                       Drives& drives) {
  scratch.fds.clear();
  scratch.handles.clear();
  scratch.fds.push_back({wake.read_fd, POLLIN, 0});
  scratch.handles.push_back(0);
  registry.sockets.ForEach([&](SOCKET handle, SocketState& socket) {
    if (!drives(handle, socket) ||
        std::find(scratch.quiet.begin(), scratch.quiet.end(), handle) != scratch.quiet.end()) {
      return;
    }
    const short interest = PollInterest(socket);
    if (interest != 0) {
      scratch.fds.push_back({socket.fd, interest, 0});
      scratch.handles.push_back(handle);
    }
  });
}

// Brings the sockets poll() flagged up to date; one that did not change goes quiet. The
// registry's lock is held.
inline void TakePolled(Registry& registry, const WakeChannel& wake, WaitScratch& scratch) {
  if (scratch.fds[0].revents != 0) {
    DrainWakeFd(wake.read_fd);
  }
  for (std::size_t i = 1; i < scratch.fds.size(); ++i) {
    if (scratch.fds[i].revents == 0) {
      continue;
    }
    SocketState* socket = registry.FindSocket(scratch.handles[i]);
    if (socket != nullptr && !Refresh(registry, *socket, scratch.fds[i].revents)) {
      scratch.quiet.push_back(scratch.handles[i]);
    }
  }
}

// The milliseconds poll() is to wait until `deadline`, rounded up so that the last poll does
// not end a fraction of a millisecond early.
inline int PollMilliseconds(std::chrono::steady_clock::time_point deadline,
                            std::chrono::steady_clock::time_point now) {
  const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now);
  return left.count() <= 0 ? 0 : static_cast<int>((left.count() + 999) / 1000);
}

// Runs until check(registry) gives kDone or kFailed (checked under the lock), or until
// timeout_ms runs out (then kPending; INFINITE never runs out). While it sleeps, setting one of
// `events` from another thread wakes it, and every socket for which drives(handle, socket)
// holds is polled for what PollInterest names and brought up to date with Refresh. A socket
// that poll() flags without any change is left out for the rest of the wait, so a condition
// that stays raised cannot make the loop spin. With end_when_idle (a test-only fault), a wait
// that has no socket left to poll ends at once as if its time had run out: only another
// thread could still set an event then.
template <class Check, class Drives>
WaitState WaitUntil(const WSAEVENT* events, DWORD count, DWORD timeout_ms, Check check,
                    Drives drives, bool end_when_idle = false) {
  using Clock = std::chrono::steady_clock;
  Registry& registry = Registry::Get();
  const bool infinite = timeout_ms == INFINITE;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  const WakeChannel& wake = ThreadWake();
  WaitScratch& scratch = ThreadWaitScratch();
  scratch.quiet.clear();
  for (bool first = true;; first = false) {
    int poll_ms = -1;
    {
      posix::RegistryGuard lock(registry.mutex);
      const WaitState state = check(registry);
      if (state != WaitState::kPending) {
        return state;
      }
      const Clock::time_point now = Clock::now();
      if (!infinite) {
        if (!first && now >= deadline) {
          return WaitState::kPending;
        }
        poll_ms = PollMilliseconds(deadline, now);
      }
      ListSocketsToPoll(registry, wake, scratch, drives);
      if (end_when_idle && scratch.fds.size() == 1) {
        return WaitState::kPending;
      }
      RegisterWaiter(registry, events, count, wake.write_fd);
    }
    const int ready =
        ::poll(scratch.fds.data(), static_cast<::nfds_t>(scratch.fds.size()), poll_ms);
    const int poll_error = errno;
    posix::RegistryGuard lock(registry.mutex);
    UnregisterWaiter(registry, events, count, wake.write_fd);
    if (ready < 0 && poll_error != EINTR) {
      WSASetLastError(ErrorFromErrno(poll_error));
      return WaitState::kFailed;
    }
    if (ready > 0) {
      TakePolled(registry, wake, scratch);
    }
  }
}

}  // namespace ostrel::wsa::posix
