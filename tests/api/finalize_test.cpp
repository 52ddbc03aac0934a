// Ostrel_Finalize with commands in flight: the last one closes every socket the library made,
// each command waiting on one returns at once with OSTREL_E_FINALIZED, and nothing stays open.
// (The resource checks toggle Finalize and Initialize a thousand times under traffic.)
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "net/full_listener.h"
#include "net/net_test_support.h"
#include "ostrel/ostrel.h"

namespace ostrel::testing {
namespace {

#if defined(__linux__)
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// True once the library holds `count` sockets more than `base`.
bool WaitForSockets(std::size_t base, std::size_t count) {
  const Clock::time_point deadline = Clock::now() + 10s;
  while (CurrentResourceCounts().sockets < base + count) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

TEST(Finalize, EndsCommandsInFlightAtOnceAndLeavesNothingOpen) {
  constexpr int kInFlight = 4;
  FullListener full;
  ASSERT_NE(full.port(), 0);
  Ostrel_Initialize();
  const ResourceCounts before = CurrentResourceCounts();
  int wall = -1;
  ASSERT_EQ(Ostrel_OpenTvWall("127.0.0.1", full.port(), &wall), 0);
  std::vector<int> outcomes(kInFlight, -1);
  std::vector<Clock::time_point> ended(kInFlight);
  std::vector<std::thread> threads;
  for (int i = 0; i < kInFlight; ++i) {
    threads.emplace_back([&, i] {
      EXPECT_EQ(Ostrel_StartPlay(wall, "1", i, "stream"), 0);
      outcomes[i] = Ostrel_LastErrorCode();
      ended[i] = Clock::now();
    });
  }
  // Each command's connection stays under way: the listener drops its SYN.
  ASSERT_TRUE(WaitForSockets(before.sockets, kInFlight));
  const Clock::time_point finalized = Clock::now();
  Ostrel_Finalize();
  for (std::thread& thread : threads) thread.join();
  for (int i = 0; i < kInFlight; ++i) {
    EXPECT_EQ(outcomes[i], OSTREL_E_FINALIZED) << "command " << i;
    EXPECT_LT(ended[i] - finalized, 1s) << "command " << i;  // its own limit is 5 s
  }

  Ostrel_Initialize();
  const ResourceCounts after = CurrentResourceCounts();
  EXPECT_EQ(after.descriptors, before.descriptors);
  EXPECT_EQ(after.sockets, before.sockets);
  EXPECT_EQ(after.events, before.events);
  Ostrel_Finalize();
}
#endif

}  // namespace
}  // namespace ostrel::testing
