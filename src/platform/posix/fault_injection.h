// Test-only fault injection for the socket stand-ins: chosen calls fail with chosen error codes,
// move fewer bytes, find no room, wait no longer, or are delayed.
//
// Only the copy of the stand-ins built for the fault tests and fuzz targets has it
// (OSTREL_FAULT_INJECTION); in the shipped library every hook is an empty inline function.
// Armed or not, a test build pays one relaxed load and one predictable branch per hooked call.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace ostrel::wsa::posix::faults {

// The hooked calls.
enum class Call {
  kWSASocketA,
  kCloseSocket,
  kBind,
  kListen,
  kGetSockName,
  kSetSockOpt,
  kWSAConnect,
  kWSAAccept,
  kWSACreateEvent,
  kWSACloseEvent,
  kWSASetEvent,
  kWSAResetEvent,
  kWSAWaitForMultipleEvents,
  kWSAEventSelect,
  kWSAEnumNetworkEvents,
  kWSASend,
  kWSARecv,
  kWSAGetOverlappedResult,
  kCancelIoEx,
  kOutsideLock,  // between releasing the lock and a system call made without it (a delay only)
  kCount
};

enum class Effect {
  kNone,  // the call runs as usual (after the delay, if any)
  // The call fails with `error`: SOCKET_ERROR, INVALID_SOCKET, FALSE, WSA_INVALID_EVENT or
  // WSA_WAIT_FAILED as it would on a real failure. closesocket and WSACloseEvent still release
  // what they were given, so that a failure report cannot leak a descriptor.
  kFail,
  kTimeOut,        // a wait returns WSA_WAIT_TIMEOUT at once
  kWake,           // a wait returns WSA_WAIT_EVENT_0 at once, signalled or not
  kTimeOutIfIdle,  // a wait with nothing left to drive (no socket can still change) times out
                   // at once instead of sleeping out its limit; for single-threaded callers
  kWouldBlock,     // a send finds no room, a receive no bytes: an overlapped one goes pending
  kShort,          // a send or receive moves at most `bytes` bytes at once; a send's rest is
                   // left pending, as when the send buffer fills
  kBlocking,       // WSAConnect waits for the outcome, as on a socket never selected
  kEmpty,          // an enumeration reports no events, leaving them recorded and the event set
};

constexpr int kEvery = -1;

struct Fault {
  Call call = Call::kCount;
  Effect effect = Effect::kNone;
  int error = 0;                       // kFail: the Windows Sockets error to report
  std::uint32_t bytes = 0;             // kShort: the most bytes one call moves
  std::chrono::milliseconds delay{0};  // slept before the call, whatever the effect
  int skip = 0;                        // calls that pass untouched first
  int times = 1;                       // calls acted on after those; kEvery: all later ones
};

// What a hooked call is to do. Filled by Take, which also sleeps the delay.
struct Action {
  Effect effect = Effect::kNone;
  int error = 0;
  std::uint32_t bytes = 0;
};

#if defined(OSTREL_FAULT_INJECTION)

// Replaces the plan and resets the call counts. The first fault of the plan that is due for a
// call acts on it.
void Arm(std::vector<Fault> plan);
// Removes the plan; hooked calls run as usual again.
void Disarm();
// Calls of this kind seen since Arm (counted only while armed).
std::size_t CallCount(Call call);
// Calls a fault acted on since Arm.
std::size_t Hits();

namespace detail {
extern std::atomic<bool> armed;
Action Take(Call call);
}  // namespace detail

inline bool Armed() { return detail::armed.load(std::memory_order_relaxed); }

// The hook: kNone at once while disarmed.
inline Action Intercept(Call call) {
  if (__builtin_expect(Armed(), 0)) {
    return detail::Take(call);
  }
  return Action{};
}

// For calls whose only fault is a failure: 0, or the error the call is to fail with.
inline int InjectedError(Call call) {
  if (__builtin_expect(Armed(), 0)) {
    const Action action = detail::Take(call);
    if (action.effect == Effect::kFail) {
      return action.error != 0 ? action.error : 10107;  // WSASYSCALLFAILURE when none is named
    }
  }
  return 0;
}

// RAII for tests: armed for the scope.
class ScopedPlan {
 public:
  explicit ScopedPlan(std::vector<Fault> plan) { Arm(std::move(plan)); }
  ~ScopedPlan() { Disarm(); }
  ScopedPlan(const ScopedPlan&) = delete;
  ScopedPlan& operator=(const ScopedPlan&) = delete;
};

#else  // the shipped library: no plan, no hook

constexpr Action Intercept(Call) { return Action{}; }
constexpr int InjectedError(Call) { return 0; }

#endif  // OSTREL_FAULT_INJECTION

}  // namespace ostrel::wsa::posix::faults
