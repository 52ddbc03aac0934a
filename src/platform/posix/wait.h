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
  std::vector<::pollfd>& fds = scratch.fds;
  std::vector<SOCKET>& handles = scratch.handles;
  std::vector<SOCKET>& quiet = scratch.quiet;
  quiet.clear();
  for (bool first = true;; first = false) {
    int poll_ms = -1;
    {
      std::lock_guard<std::mutex> lock(registry.mutex);
      const WaitState state = check(registry);
      if (state != WaitState::kPending) {
        return state;
      }
      const Clock::time_point now = Clock::now();
      if (!infinite) {
        if (!first && now >= deadline) {
          return WaitState::kPending;
        }
        // Rounded up, so that the last poll does not end a fraction of a millisecond early.
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now);
        poll_ms = left.count() <= 0 ? 0 : static_cast<int>((left.count() + 999) / 1000);
      }
      fds.clear();
      handles.clear();
      fds.push_back({wake.read_fd, POLLIN, 0});
      handles.push_back(0);
      registry.sockets.ForEach([&](SOCKET handle, SocketState& socket) {
        if (!drives(handle, socket) ||
            std::find(quiet.begin(), quiet.end(), handle) != quiet.end()) {
          return;
        }
        const short interest = PollInterest(socket);
        if (interest != 0) {
          fds.push_back({socket.fd, interest, 0});
          handles.push_back(handle);
        }
      });
      if (end_when_idle && fds.size() == 1) {
        return WaitState::kPending;
      }
      RegisterWaiter(registry, events, count, wake.write_fd);
    }
    const int ready = ::poll(fds.data(), static_cast<::nfds_t>(fds.size()), poll_ms);
    const int poll_error = errno;
    std::lock_guard<std::mutex> lock(registry.mutex);
    UnregisterWaiter(registry, events, count, wake.write_fd);
    if (ready < 0) {
      if (poll_error == EINTR) {
        continue;  // the next pass polls again with the time that is left
      }
      WSASetLastError(ErrorFromErrno(poll_error));
      return WaitState::kFailed;
    }
    if (fds[0].revents != 0) {
      DrainWakeFd(wake.read_fd);
    }
    for (std::size_t i = 1; i < fds.size(); ++i) {
      if (fds[i].revents == 0) {
        continue;
      }
      SocketState* socket = registry.FindSocket(handles[i]);
      if (socket != nullptr && !Refresh(registry, *socket, fds[i].revents)) {
        quiet.push_back(handles[i]);
      }
    }
  }
}

}  // namespace ostrel::wsa::posix
