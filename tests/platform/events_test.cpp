// Event objects: manual reset, stale handles, wait-any and wait-all, waking across threads.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "net/net_test_support.h"
#include "platform/winsock.h"

namespace ostrel::testing {
namespace {

using namespace std::chrono_literals;

DWORD WaitOne(WSAEVENT event, DWORD ms) {
  return WSAWaitForMultipleEvents(1, &event, TRUE, ms, FALSE);
}

TEST(Events, MadeNonSignalledAndStaySetUntilReset) {
  WSAEVENT event = WSACreateEvent();
  ASSERT_NE(event, WSA_INVALID_EVENT);
  EXPECT_EQ(WaitOne(event, 0), static_cast<DWORD>(WSA_WAIT_TIMEOUT));
  ASSERT_TRUE(WSASetEvent(event));
  EXPECT_EQ(WaitOne(event, 0), WSA_WAIT_EVENT_0);
  EXPECT_EQ(WaitOne(event, 0), WSA_WAIT_EVENT_0);  // a wait does not reset it
  ASSERT_TRUE(WSAResetEvent(event));
  EXPECT_EQ(WaitOne(event, 20), static_cast<DWORD>(WSA_WAIT_TIMEOUT));
  EXPECT_TRUE(WSACloseEvent(event));
}

#if !defined(_WIN32)
// Windows hands a closed handle's value to the next event; this layer's handles stay stale.
TEST(Events, ClosedHandleGoesStaleEvenWhenItsSlotIsReused) {
  WSAEVENT closed = WSACreateEvent();
  ASSERT_TRUE(WSACloseEvent(closed));
  WSAEVENT fresh = WSACreateEvent();
  EXPECT_NE(fresh, closed);
  EXPECT_FALSE(WSASetEvent(closed));
  EXPECT_FALSE(WSAResetEvent(closed));
  EXPECT_FALSE(WSACloseEvent(closed));
  EXPECT_EQ(WaitOne(closed, 0), WSA_WAIT_FAILED);
  EXPECT_EQ(WaitOne(fresh, 0),
            static_cast<DWORD>(WSA_WAIT_TIMEOUT));  // untouched by the stale calls
  WSACloseEvent(fresh);
}
#endif

TEST(Events, WaitAnyGivesTheLowestSignalledIndexAndWaitAllNeedsEvery) {
  WSAEVENT events[3] = {WSACreateEvent(), WSACreateEvent(), WSACreateEvent()};
  WSASetEvent(events[2]);
  WSASetEvent(events[1]);
  EXPECT_EQ(WSAWaitForMultipleEvents(3, events, FALSE, 0, FALSE), WSA_WAIT_EVENT_0 + 1);
  EXPECT_EQ(WSAWaitForMultipleEvents(3, events, TRUE, 0, FALSE),
            static_cast<DWORD>(WSA_WAIT_TIMEOUT));
  WSASetEvent(events[0]);
  EXPECT_EQ(WSAWaitForMultipleEvents(3, events, TRUE, 0, FALSE), WSA_WAIT_EVENT_0);
  for (WSAEVENT event : events) {
    WSACloseEvent(event);
  }
}

TEST(Events, BadWaitArgumentsFail) {
  WSAEVENT event = WSACreateEvent();
  EXPECT_EQ(WSAWaitForMultipleEvents(0, &event, TRUE, 0, FALSE), WSA_WAIT_FAILED);
  EXPECT_EQ(WSAGetLastError(), WSA_INVALID_PARAMETER);
  WSACloseEvent(event);
}

TEST(Events, SetFromAnotherThreadEndsAWait) {
  WSAEVENT event = WSACreateEvent();
  std::thread setter([event] {
    std::this_thread::sleep_for(50ms);
    WSASetEvent(event);
  });
  // Far longer than the setter needs; the wait must end on the set, not run out.
  EXPECT_EQ(WaitOne(event, 20000), WSA_WAIT_EVENT_0);
  setter.join();
  WSACloseEvent(event);
}

}  // namespace
}  // namespace ostrel::testing
