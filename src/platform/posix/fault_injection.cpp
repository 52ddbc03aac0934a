// The fault plan and its bookkeeping. Only reached while a plan is armed.
#include "platform/posix/fault_injection.h"

#include <array>
#include <mutex>
#include <thread>

namespace ostrel::wsa::posix::faults {
namespace {

struct Plan {
  std::mutex mutex;
  std::vector<Fault> faults;
  std::vector<int> seen;  // per fault: matching calls so far
  std::array<std::size_t, static_cast<std::size_t>(Call::kCount)> calls{};
  std::size_t hits = 0;
};

Plan& ThePlan() {
  static Plan* plan = new Plan;  // never destroyed: hooked calls may run during exit
  return *plan;
}

bool Due(const Fault& fault, int seen) {
  return seen >= fault.skip && (fault.times == kEvery || seen < fault.skip + fault.times);
}

}  // namespace

namespace detail {

std::atomic<bool> armed{false};

Action Take(Call call) {
  Plan& plan = ThePlan();
  Action action;
  std::chrono::milliseconds delay{0};
  {
    std::lock_guard<std::mutex> lock(plan.mutex);
    if (!armed.load(std::memory_order_relaxed)) {
      return action;
    }
    ++plan.calls[static_cast<std::size_t>(call)];
    bool taken = false;
    for (std::size_t i = 0; i < plan.faults.size(); ++i) {
      const Fault& fault = plan.faults[i];
      if (fault.call != call) {
        continue;
      }
      const int seen = plan.seen[i]++;
      if (!taken && Due(fault, seen)) {
        taken = true;
        ++plan.hits;
        action.effect = fault.effect;
        action.error = fault.error != 0 || fault.effect != Effect::kFail ? fault.error : 10107;
        action.bytes = fault.bytes;
        delay = fault.delay;
      }
    }
  }
  if (delay.count() > 0) {
    std::this_thread::sleep_for(delay);
  }
  return action;
}

}  // namespace detail

void Arm(std::vector<Fault> plan) {
  Plan& state = ThePlan();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.faults = std::move(plan);
  state.seen.assign(state.faults.size(), 0);
  state.calls.fill(0);
  state.hits = 0;
  detail::armed.store(true, std::memory_order_relaxed);
}

void Disarm() {
  Plan& state = ThePlan();
  std::lock_guard<std::mutex> lock(state.mutex);
  detail::armed.store(false, std::memory_order_relaxed);
  state.faults.clear();
  state.seen.clear();
}

std::size_t CallCount(Call call) {
  Plan& state = ThePlan();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.calls[static_cast<std::size_t>(call)];
}

std::size_t Hits() {
  Plan& state = ThePlan();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.hits;
}

}  // namespace ostrel::wsa::posix::faults
