// Ostrel_Finalize and Ostrel_Initialize toggled a thousand times while eight threads send
// commands, half of them to a controller that reads them and half to one whose accept queue is
// full (their connections stay under way until something ends them). Every command that a
// Finalize overtakes returns within a second of it, every outcome is one a command can have
// here, and the descriptors, sockets and events end where they began.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <random>
#include <thread>
#include <vector>

#include "net/full_listener.h"
#include "net/loopback_peer.h"
#include "net/net_test_support.h"
#include "ostrel/ostrel.h"

namespace ostrel::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kToggles = 1000;
constexpr int kThreads = 8;
constexpr int kMaxPauseUs = 3000;  // between toggles: commands get under way in the pauses
constexpr auto kIdlePause = 200us;

struct Call {
  Clock::time_point start;
  Clock::time_point end;
  int outcome;
};

void SendUntil(const std::atomic<bool>& stop, int port, std::vector<Call>* calls) {
  while (!stop.load()) {
    int wall = -1;
    if (Ostrel_OpenTvWall("127.0.0.1", port, &wall) != 0) continue;
    Call call{Clock::now(), {}, 0};
    Ostrel_StartPlay(wall, "1", 2, "stream");
    call.outcome = Ostrel_LastErrorCode();
    call.end = Clock::now();
    Ostrel_CloseTvWall(wall);
    calls->push_back(call);
    if (call.outcome == OSTREL_E_NOT_STARTED) {
      std::this_thread::sleep_for(kIdlePause);  // rather than spin until the next Initialize
    }
  }
}

TEST(LifecycleResources, FinalizeTogglesUnderTrafficEndCommandsAtOnceAndLeakNothing) {
  PeerScript counting;
  counting.keep_bytes = false;
  LoopbackPeer good(counting);
  FullListener full;
  ASSERT_NE(full.port(), 0);
  Ostrel_Initialize();
  const ResourceCounts before = SettledResourceCounts();

  std::atomic<bool> stop{false};
  std::vector<std::vector<Call>> calls(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    const int port = t % 2 == 0 ? good.port() : full.port();
    threads.emplace_back([&, t, port] { SendUntil(stop, port, &calls[t]); });
  }
  std::vector<Clock::time_point> finalized;  // when each Finalize began
  std::mt19937 random(17);
  for (int i = 0; i < kToggles; ++i) {
    std::this_thread::sleep_for(std::chrono::microseconds(random() % kMaxPauseUs));
    finalized.push_back(Clock::now());
    Ostrel_Finalize();
    // The last Finalize overtakes every command still under way: one that made its socket
    // after an Initialize would otherwise run on to its own limit.
    if (i + 1 < kToggles) Ostrel_Initialize();
  }
  stop = true;
  for (std::thread& thread : threads) thread.join();
  Ostrel_Initialize();

  // Delivered, ended by a Finalize, begun while stopped, or its slot freed by an Initialize.
  std::map<int, int> seen;
  Clock::duration latest{0};
  for (const std::vector<Call>& list : calls) {
    for (const Call& call : list) {
      ++seen[call.outcome];
      const auto overtaking = std::lower_bound(finalized.begin(), finalized.end(), call.start);
      if (overtaking != finalized.end() && *overtaking < call.end) {
        latest = std::max(latest, call.end - *overtaking);
      }
    }
  }
  const auto latest_us = std::chrono::duration_cast<std::chrono::microseconds>(latest).count();
  std::printf("latest return after an overtaking Finalize: %lld us\n",
              static_cast<long long>(latest_us));
  EXPECT_LT(latest, 1s);
  for (const auto& [outcome, count] : seen) {
    std::printf("outcome %5d (%s): %d\n", outcome, Ostrel_OutcomeText(outcome), count);
    EXPECT_TRUE(outcome == OSTREL_OK || outcome == OSTREL_E_FINALIZED ||
                outcome == OSTREL_E_NOT_STARTED || outcome == OSTREL_E_NOT_REGISTERED)
        << outcome << " " << Ostrel_OutcomeText(outcome);
  }
  EXPECT_GT(seen[OSTREL_OK], 0);
  EXPECT_GT(seen[OSTREL_E_FINALIZED], 0);
  const ResourceCounts after = SettledResourceCounts();
  EXPECT_EQ(after.descriptors, before.descriptors);
  EXPECT_EQ(after.sockets, before.sockets);
  EXPECT_EQ(after.events, before.events);
  Ostrel_Finalize();
}

}  // namespace
}  // namespace ostrel::testing
