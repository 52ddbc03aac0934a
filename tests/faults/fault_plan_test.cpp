// The fault plan itself: which calls it acts on, what it makes them do, and that it is off
// unless a test arms it.
#include <gtest/gtest.h>

#include <chrono>

#include "faults/fault_test_support.h"

namespace ostrel::testing {
namespace {

using namespace std::chrono_literals;

class FaultPlan : public FaultTest {};

TEST_F(FaultPlan, DisarmedCallsRunAsUsualAndAreNotCounted) {
  WSAEVENT event = WSACreateEvent();
  ASSERT_NE(event, WSA_INVALID_EVENT);
  EXPECT_TRUE(WSACloseEvent(event));
  EXPECT_FALSE(faults::Armed());
  EXPECT_EQ(faults::CallCount(Call::kWSACreateEvent), 0u);
}

TEST_F(FaultPlan, SkipsThenActsTheGivenNumberOfTimes) {
  faults::ScopedPlan plan({FailCall(Call::kWSACreateEvent, WSAENOBUFS, 1, 2)});
  WSAEVENT made[4];
  for (WSAEVENT& event : made) event = WSACreateEvent();
  EXPECT_NE(made[0], WSA_INVALID_EVENT);
  EXPECT_EQ(made[1], WSA_INVALID_EVENT);
  EXPECT_EQ(made[2], WSA_INVALID_EVENT);
  EXPECT_EQ(WSAGetLastError(), WSAENOBUFS);
  EXPECT_NE(made[3], WSA_INVALID_EVENT);
  EXPECT_EQ(faults::CallCount(Call::kWSACreateEvent), 4u);
  EXPECT_EQ(faults::Hits(), 2u);
  WSACloseEvent(made[0]);
  WSACloseEvent(made[3]);
  EXPECT_TRUE(NothingLeft());
}

TEST_F(FaultPlan, EveryActsOnAllLaterCallsAndTheFirstDueFaultWins) {
  faults::ScopedPlan plan({FailCall(Call::kWSASetEvent, WSAEINVAL, 0, 1),
                           FailCall(Call::kWSASetEvent, WSAENOBUFS, 0, faults::kEvery)});
  WSAEVENT event = WSACreateEvent();
  EXPECT_FALSE(WSASetEvent(event));
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(WSASetEvent(event));
    EXPECT_EQ(WSAGetLastError(), WSAENOBUFS);
  }
  faults::Disarm();
  EXPECT_TRUE(WSASetEvent(event));
  WSACloseEvent(event);
}

TEST_F(FaultPlan, FailingCloseCallsStillReleaseWhatTheyWereGiven) {
  faults::ScopedPlan plan(
      {FailCall(Call::kWSACloseEvent, WSAENETDOWN), FailCall(Call::kCloseSocket, WSAENETDOWN)});
  WSAEVENT event = WSACreateEvent();
  const SOCKET s = WSASocketA(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
  ASSERT_NE(s, INVALID_SOCKET);
  EXPECT_FALSE(WSACloseEvent(event));
  EXPECT_EQ(WSAGetLastError(), WSAENETDOWN);
  EXPECT_EQ(closesocket(s), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENETDOWN);
  EXPECT_TRUE(NothingLeft());
}

TEST_F(FaultPlan, WaitsCanFailTimeOutOrWakeAtOnce) {
  WSAEVENT event = WSACreateEvent();
  faults::ScopedPlan plan({FailCall(Call::kWSAWaitForMultipleEvents, WSA_INVALID_HANDLE),
                           Inject(Call::kWSAWaitForMultipleEvents, Effect::kTimeOut, 1),
                           Inject(Call::kWSAWaitForMultipleEvents, Effect::kWake, 2)});
  std::chrono::milliseconds elapsed;
  EXPECT_EQ(
      Timed([&] { return WSAWaitForMultipleEvents(1, &event, TRUE, 60000, FALSE); }, &elapsed),
      WSA_WAIT_FAILED);
  EXPECT_EQ(WSAGetLastError(), WSA_INVALID_HANDLE);
  EXPECT_EQ(WSAWaitForMultipleEvents(1, &event, TRUE, 60000, FALSE), WSA_WAIT_TIMEOUT);
  EXPECT_EQ(WSAWaitForMultipleEvents(1, &event, TRUE, 60000, FALSE), WSA_WAIT_EVENT_0);
  EXPECT_LT(elapsed, 1000ms);
  WSACloseEvent(event);
}

TEST_F(FaultPlan, IdleWaitEndsAtOnceOnlyWhenNothingCanSetTheEvent) {
  WSAEVENT event = WSACreateEvent();
  faults::ScopedPlan plan({IdleWaitsEndAtOnce()});
  std::chrono::milliseconds elapsed;
  EXPECT_EQ(
      Timed([&] { return WSAWaitForMultipleEvents(1, &event, TRUE, 60000, FALSE); }, &elapsed),
      WSA_WAIT_TIMEOUT);
  EXPECT_LT(elapsed, 1000ms);
  WSASetEvent(event);
  EXPECT_EQ(WSAWaitForMultipleEvents(1, &event, TRUE, 60000, FALSE), WSA_WAIT_EVENT_0);
  WSACloseEvent(event);
}

TEST_F(FaultPlan, DelayIsSleptBeforeTheCall) {
  faults::ScopedPlan plan({Delay(Call::kWSACreateEvent, 50ms, 0, 1)});
  std::chrono::milliseconds elapsed;
  WSAEVENT event = Timed([] { return WSACreateEvent(); }, &elapsed);
  EXPECT_NE(event, WSA_INVALID_EVENT);
  EXPECT_GE(elapsed, 50ms);
  WSACloseEvent(event);
}

}  // namespace
}  // namespace ostrel::testing
