// The transfer loops in the cases the exchange cannot set up: nothing to move, and a
// notification fetch that fails.
#include "net/transfer.h"

#include <gtest/gtest.h>

#include "net/net_test_support.h"
#include "net/stream_client_socket.h"
#include "windows/under_wine.h"

namespace ostrel::testing {
namespace {

class Transfer : public SocketsStarted {};

TEST_F(Transfer, NothingToMoveSucceedsWithoutWaiting) {
  net::StreamClientSocket unconnected;
  const char byte = 'x';
  char sink = 0;
  // No socket and no event: any wait or call would fail, so true means none was made.
  EXPECT_TRUE(net::SendAll(unconnected, WSA_INVALID_EVENT, &byte, 0));
  EXPECT_TRUE(net::ReceiveAll(unconnected, WSA_INVALID_EVENT, &sink, 0));
}

TEST_F(Transfer, FailingNotificationFetchEndsTheLoopWithItsError) {
  if (testenv::RunningUnderWine()) {
    GTEST_SKIP() << "Wine's fetch does not fail for a handle that names no socket";
  }
  // A handle that names no socket (a closed one's value may be handed out again on Windows):
  // the wait succeeds, because the event stays set, and the fetch fails.
  const SOCKET bogus = static_cast<SOCKET>(0x7FFFFF00);
  net::StreamClientSocket socket;
  ASSERT_TRUE(socket.Attach(bogus));
  WSAEVENT event = WSACreateEvent();
  ASSERT_TRUE(WSASetEvent(event));
  const char data[16] = {};
  char sink[16];
  // Were the loops to go round again they would spin for ever on the set event.
  EXPECT_FALSE(net::SendAll(socket, event, data, sizeof data));
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  EXPECT_FALSE(net::ReceiveAll(socket, event, sink, sizeof sink));
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  EXPECT_TRUE(socket.Attach(INVALID_SOCKET));  // nothing to close twice
  WSACloseEvent(event);
}

TEST_F(Transfer, FailingWaitEndsTheLoopWithItsError) {
  net::StreamClientSocket socket;
  ASSERT_TRUE(socket.CreateAndBind(INADDR_ANY, 0));
  const char data[4] = {};
  EXPECT_FALSE(net::SendAll(socket, WSA_INVALID_EVENT, data, sizeof data));
  EXPECT_NE(WSAGetLastError(), 0);
  EXPECT_NE(WSAGetLastError(), WSAETIMEDOUT);
}

}  // namespace
}  // namespace ostrel::testing
