// Shared pieces of the fault-injection tests: building fault plans, timing a call against its
// limit, and checking that a scenario left no socket, event or descriptor behind.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "net/loopback_peer.h"

#include "net/net_test_support.h"
#include "platform/posix/fault_injection.h"
#include "platform/winsock.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define OSTREL_UNDER_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define OSTREL_UNDER_SANITIZER 1
#endif
#endif
#ifndef OSTREL_UNDER_SANITIZER
#define OSTREL_UNDER_SANITIZER 0
#endif

namespace ostrel::testing {

namespace faults = wsa::posix::faults;
using faults::Call;
using faults::Effect;

// The call fails with `error` (on its `skip`+1-th occurrence, `times` times).
inline faults::Fault FailCall(Call call, int error, int skip = 0, int times = 1) {
  faults::Fault fault;
  fault.call = call;
  fault.effect = Effect::kFail;
  fault.error = error;
  fault.skip = skip;
  fault.times = times;
  return fault;
}

inline faults::Fault Inject(Call call, Effect effect, int skip = 0, int times = 1) {
  faults::Fault fault;
  fault.call = call;
  fault.effect = effect;
  fault.skip = skip;
  fault.times = times;
  return fault;
}

inline faults::Fault ShortTransfer(Call call, std::uint32_t bytes, int skip = 0,
                                   int times = faults::kEvery) {
  faults::Fault fault = Inject(call, Effect::kShort, skip, times);
  fault.bytes = bytes;
  return fault;
}

inline faults::Fault Delay(Call call, std::chrono::milliseconds delay, int skip = 0,
                           int times = faults::kEvery) {
  faults::Fault fault = Inject(call, Effect::kNone, skip, times);
  fault.delay = delay;
  return fault;
}

// Waits that could only run out end at once: for scenarios where the peer is gone.
inline faults::Fault IdleWaitsEndAtOnce() {
  return Inject(Call::kWSAWaitForMultipleEvents, Effect::kTimeOutIfIdle, 0, faults::kEvery);
}

// Sockets started, no plan armed before or after each test, and the resources alive at the
// start remembered so that a test can check that a scenario released everything it made.
class FaultTest : public SocketsStarted {
 protected:
  void SetUp() override {
    SocketsStarted::SetUp();
    faults::Disarm();
    // The thread's wake channel is made by its first wait and kept: make it before counting.
    WSAEVENT event = WSACreateEvent();
    WSAWaitForMultipleEvents(1, &event, TRUE, 0, FALSE);
    WSACloseEvent(event);
    before_ = CurrentResourceCounts();
  }
  void TearDown() override {
    faults::Disarm();
    SocketsStarted::TearDown();
  }

  // With `descriptors` false only the socket layer's sockets and events are compared (the
  // process's descriptors include a peer's connections, which close on the peer's own time).
  ::testing::AssertionResult NothingLeft(bool descriptors = true) const {
    const ResourceCounts now = CurrentResourceCounts();
    if (now.sockets != before_.sockets || now.events != before_.events ||
        (descriptors && now.descriptors != before_.descriptors)) {
      return ::testing::AssertionFailure()
             << "sockets " << before_.sockets << " -> " << now.sockets << ", events "
             << before_.events << " -> " << now.events << ", descriptors " << before_.descriptors
             << " -> " << now.descriptors;
    }
    return ::testing::AssertionSuccess();
  }

 private:
  ResourceCounts before_;
};

// Waits until the peer has finished every connection it accepted and no new one came for a
// moment: its descriptors are then back to what it holds when idle.
inline bool SettlePeer(const LoopbackPeer& peer) {
  for (int round = 0; round < 100; ++round) {
    const std::size_t accepted = peer.AcceptedCount();
    if (peer.WaitForFinished(accepted, std::chrono::seconds(5))) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (peer.AcceptedCount() == accepted) {
        return true;
      }
    }
  }
  return false;
}

// Runs `call` and gives its result; `elapsed` receives how long it took.
template <class F>
auto Timed(F&& call, std::chrono::milliseconds* elapsed) {
  const auto start = std::chrono::steady_clock::now();
  auto result = call();
  *elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  return result;
}

}  // namespace ostrel::testing
