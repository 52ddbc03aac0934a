// A controller that never answers: the command still returns 0, within the connect limit, and
// the host can read why nothing was delivered. Waits out the 5000 ms limit (label "slow").
#include <gtest/gtest.h>

#include <chrono>

#include "net/silent_namespace.h"
#include "ostrel/ostrel.h"

namespace ostrel::testing {
namespace {

#if defined(__linux__)
TEST(PlayCommandsSlow, UnreachableControllerReturnsZeroAndReportsTimeOut) {
  SilentNamespace space;
  if (!space.ready()) {
    GTEST_SKIP() << "cannot make a network namespace (" << space.reason()
                 << "); needs root, iproute2 and iptables";
  }
  int result = -1, outcome = 0;
  std::chrono::milliseconds elapsed{0};
  ASSERT_TRUE(space.RunInside([&] {
    Ostrel_Initialize();
    int wall = -1;
    Ostrel_OpenTvWall("127.0.0.1", kDroppedPort, &wall);
    const auto start = std::chrono::steady_clock::now();
    result = Ostrel_StartPlay(wall, "1", 2, "stream01");
    outcome = Ostrel_LastErrorCode();
    elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    Ostrel_Finalize();
  }));
  EXPECT_EQ(result, 0);
  EXPECT_EQ(outcome, OSTREL_E_TIMED_OUT);
  EXPECT_GE(elapsed.count(), 4900);
  EXPECT_LT(elapsed.count(), 7000);
}
#endif

}  // namespace
}  // namespace ostrel::testing
