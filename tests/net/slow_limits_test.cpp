// The time limits, waited out for real (CTest label "slow"): connect, notification waits and
// pending transfers. The address where nothing answers is made in a network namespace of the
// test's own, with a rule that drops every SYN.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "net/framed_request.h"
#include "net/loopback_peer.h"
#include "net/net_test_support.h"
#include "net/silent_namespace.h"
#include "net/stream_client_socket.h"

namespace ostrel::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class TimeLimits : public SocketsStarted {};

#if defined(__linux__)
TEST_F(TimeLimits, ConnectToAnAddressWhereNothingAnswersFailsAfterFiveSeconds) {
  SilentNamespace space;
  if (!space.ready()) {
    GTEST_SKIP() << "cannot make a network namespace (" << space.reason()
                 << "); needs root, iproute2 and iptables";
  }
  const unsigned char frame[8] = {8, 0, 0, 0, 'p', 'i', 'n', 'g'};
  bool delivered = true;
  int outcome = 0;
  long long elapsed = 0;
  bool socket_stays_open = false;
  int connect_error = 0;
  ASSERT_TRUE(space.RunInside([&] {
    const Clock::time_point start = Clock::now();
    delivered = SendFramedRequestWithOutcome("127.0.0.1", kDroppedPort, frame, sizeof frame,
                                             nullptr, nullptr, &outcome);
    elapsed = MillisecondsSince(start);
    // The class on its own: false, and the socket is still held.
    net::StreamClientSocket socket;
    if (socket.CreateAndBind(INADDR_ANY, 0)) {
      const bool connected = socket.ConnectTo("127.0.0.1", kDroppedPort);
      connect_error = WSAGetLastError();
      socket_stays_open = !connected && socket.Handle() != INVALID_SOCKET;
    }
  }));
  EXPECT_FALSE(delivered);
  EXPECT_EQ(outcome, WSAETIMEDOUT);
  EXPECT_GE(elapsed, 4900);
  EXPECT_LT(elapsed, 8000);
  EXPECT_TRUE(socket_stays_open);
  EXPECT_EQ(connect_error, WSAETIMEDOUT);
}
#endif

TEST_F(TimeLimits, PeerThatNeverReadsCannotHoldTheSenderForEver) {
  PeerScript script;
  script.action = PeerAction::kNeverRead;
  script.receive_buffer = 4096;
  LoopbackPeer peer(script);
  const std::vector<unsigned char> frame(32 * 1024 * 1024, 0x42);
  int outcome = 0;
  const Clock::time_point start = Clock::now();
  EXPECT_FALSE(SendFramedRequestWithOutcome("127.0.0.1", peer.port(), frame.data(),
                                            static_cast<std::uint32_t>(frame.size()), nullptr,
                                            nullptr, &outcome));
  EXPECT_EQ(outcome, WSAETIMEDOUT);
  EXPECT_LT(MillisecondsSince(start), 6000);
}

TEST_F(TimeLimits, ReplyCutShortByThePeerFailsWhenTheWaitRunsOut) {
  PeerScript script;
  script.reply = {0x08, 0x00};  // two bytes of a length field, then the peer closes
  script.reply_after = 8;
  script.close_after_reply = true;
  LoopbackPeer peer(script);
  const unsigned char frame[8] = {8, 0, 0, 0, 'p', 'i', 'n', 'g'};
  unsigned char* block = nullptr;
  std::int32_t length = -7;
  int outcome = 0;
  EXPECT_FALSE(SendFramedRequestWithOutcome("127.0.0.1", peer.port(), frame, sizeof frame, &block,
                                            &length, &outcome));
  EXPECT_EQ(outcome, WSAECONNRESET);  // the close, noticed before the wait ran out
  EXPECT_EQ(block, nullptr);
  EXPECT_EQ(length, -7);
}

TEST_F(TimeLimits, ReplyThatNeverComesFailsWhenTheWaitRunsOut) {
  LoopbackPeer peer;  // reads, never answers
  const unsigned char frame[8] = {8, 0, 0, 0, 'p', 'i', 'n', 'g'};
  unsigned char* block = nullptr;
  std::int32_t length = -7;
  int outcome = 0;
  const Clock::time_point start = Clock::now();
  EXPECT_FALSE(SendFramedRequestWithOutcome("127.0.0.1", peer.port(), frame, sizeof frame, &block,
                                            &length, &outcome));
  EXPECT_EQ(outcome, WSAETIMEDOUT);
  EXPECT_GE(MillisecondsSince(start), 1900);
  EXPECT_EQ(length, -7);
}

}  // namespace
}  // namespace ostrel::testing
