// Every branch of the framed exchange, driven by the fault plan against loopback peers: the
// result and outcome, what reaches the peer, that a reply is handed out only whole, the time
// taken, and that every socket, event, descriptor and reply block is released.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <new>
#include <vector>

#include "faults/fault_test_support.h"
#include "net/framed_request.h"
#include "net/time_limits.h"

namespace {
// Array allocations without exceptions of at least this many bytes fail (0: none do): the
// exchange allocates its reply block that way.
std::atomic<std::size_t> refuse_nothrow_arrays_from{0};
}  // namespace

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  const std::size_t limit = refuse_nothrow_arrays_from.load();
  if (limit != 0 && size >= limit) {
    return nullptr;
  }
  try {
    return ::operator new[](size);
  } catch (...) {
    return nullptr;
  }
}

namespace ostrel::testing {
namespace {

using namespace std::chrono_literals;

std::vector<unsigned char> LittleEndian(std::uint32_t value) {
  return {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
          static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
}

std::vector<unsigned char> Reply(std::uint32_t announced, std::size_t body) {
  std::vector<unsigned char> reply = LittleEndian(announced);
  for (std::size_t i = 0; i < body; ++i) reply.push_back(static_cast<unsigned char>('a' + i % 26));
  return reply;
}

std::vector<unsigned char> Frame(std::size_t body) {
  return Reply(static_cast<std::uint32_t>(body + 4), body);
}

struct ExchangeCase {
  const char* name;
  std::vector<faults::Fault> plan;
  PeerScript peer;
  bool ask_reply;
  bool ok;
  int outcome;               // 0 on success; the expected code on failure
  bool frame_arrives;        // the peer received the whole frame
  std::size_t reply_length;  // the reply handed out (0: none)
  int or_outcome = -3;       // another outcome that is right, where timing decides between two
};

PeerScript Answering(std::vector<unsigned char> reply, bool close_after = true) {
  PeerScript script;
  script.reply = std::move(reply);
  script.reply_after = 1;  // once the frame has begun to arrive
  script.close_after_reply = close_after;
  return script;
}

class FramedRequestFaults : public FaultTest {
 protected:
  void TearDown() override {
    refuse_nothrow_arrays_from = 0;
    FaultTest::TearDown();
  }

  void Run(const ExchangeCase& c) {
    SCOPED_TRACE(c.name);
    {
      LoopbackPeer peer(c.peer);
      const std::vector<unsigned char> frame = Frame(200);
      unsigned char untouched = 0;
      unsigned char* block = &untouched;
      std::int32_t length = -1;
      int outcome = -2;
      std::chrono::milliseconds elapsed;
      faults::Arm(c.plan);
      const bool ok = Timed(
          [&] {
            return SendFramedRequestWithOutcome("127.0.0.1", peer.port(), frame.data(),
                                                static_cast<std::uint32_t>(frame.size()), &block,
                                                c.ask_reply ? &length : nullptr, &outcome);
          },
          &elapsed);
      faults::Disarm();
      EXPECT_EQ(ok, c.ok);
      if (outcome != c.or_outcome) {
        EXPECT_EQ(outcome, c.outcome);
      }
      if (!c.plan.empty()) {
        EXPECT_GE(faults::Hits(), 1u);
      }
      // No injected failure may cost one of the real limits.
      EXPECT_LT(elapsed, std::chrono::milliseconds(net::kNotificationWaitMs));
      if (c.reply_length > 0) {
        ASSERT_EQ(length, static_cast<std::int32_t>(c.reply_length));
        ASSERT_NE(block, &untouched);
        const std::vector<unsigned char> expected = c.peer.reply;
        EXPECT_TRUE(std::equal(block, block + c.reply_length, expected.begin()));
        net::ReleaseReplyBlock(block);
      } else {
        EXPECT_EQ(block, &untouched);  // neither reference written
        EXPECT_EQ(length, -1);
      }
      ASSERT_TRUE(SettlePeer(peer));
      const std::vector<ConnectionRecord> connections = peer.Connections();
      const bool arrived = !connections.empty() && connections[0].bytes == frame;
      EXPECT_EQ(arrived, c.frame_arrives);
    }
    EXPECT_TRUE(NothingLeft());
  }
};

TEST_F(FramedRequestFaults, SettingUpTheConnectionFailsEveryWayWithItsReason) {
  const ExchangeCase cases[] = {
      {"socket not made",
       {FailCall(Call::kWSASocketA, WSAEMFILE)},
       {},
       false,
       false,
       WSAEMFILE,
       false,
       0},
      {"completion event not made",
       {FailCall(Call::kWSACreateEvent, WSA_NOT_ENOUGH_MEMORY, 1)},
       {},
       false,
       false,
       WSAENOBUFS,
       false,
       0},
      {"bind fails",
       {FailCall(Call::kBind, WSAEADDRINUSE)},
       {},
       false,
       false,
       WSAEADDRINUSE,
       false,
       0},
      {"connect event not made",
       {FailCall(Call::kWSACreateEvent, WSA_NOT_ENOUGH_MEMORY, 2)},
       {},
       false,
       false,
       WSA_NOT_ENOUGH_MEMORY,
       false,
       0},
      {"connect fails at once",
       {FailCall(Call::kWSAConnect, WSAEHOSTUNREACH)},
       {},
       false,
       false,
       WSAEHOSTUNREACH,
       false,
       0},
      {"no connection within the limit",
       {Inject(Call::kWSAWaitForMultipleEvents, Effect::kTimeOut)},
       {},
       false,
       false,
       WSAETIMEDOUT,
       false,
       0},
      {"exchange event not made",
       {FailCall(Call::kWSACreateEvent, WSA_NOT_ENOUGH_MEMORY, 3)},
       {},
       false,
       false,
       WSA_NOT_ENOUGH_MEMORY,
       false,
       0},
      // Not examined: shows as a wait that runs out (here at once: nothing can set the event).
      {"send selection fails",
       {FailCall(Call::kWSAEventSelect, WSAENETDOWN, 1), IdleWaitsEndAtOnce()},
       {},
       false,
       false,
       WSAETIMEDOUT,
       false,
       0},
      // The last clean-up closed the socket before its exchange event could be woken.
      {"socket closed before the send selection",
       {FailCall(Call::kWSAEventSelect, WSAENOTSOCK, 1)},
       {},
       false,
       false,
       WSAEINTR,
       false,
       0},
  };
  for (const ExchangeCase& c : cases) Run(c);
}

TEST_F(FramedRequestFaults, SendingFailsOrSucceedsEveryWay) {
  PeerScript closing;
  closing.action = PeerAction::kResetAtOnce;
  const ExchangeCase cases[] = {
      {"delivered", {}, {}, false, true, 0, true, 0},
      {"delivered in pieces",
       {ShortTransfer(Call::kWSASend, 16, 0, 1)},
       {},
       false,
       true,
       0,
       true,
       0},
      {"send fails",
       {FailCall(Call::kWSASend, WSAECONNRESET)},
       {},
       false,
       false,
       WSAECONNRESET,
       false,
       0},
      // The bytes went out; collecting the result is what fails.
      {"pending send fails",
       {Inject(Call::kWSASend, Effect::kWouldBlock),
        FailCall(Call::kWSAGetOverlappedResult, WSAECONNRESET)},
       {},
       false,
       false,
       WSAECONNRESET,
       true,
       0},
      {"no room within the limit",
       {Inject(Call::kWSAWaitForMultipleEvents, Effect::kTimeOut, 1)},
       {},
       false,
       false,
       WSAETIMEDOUT,
       false,
       0},
      {"every call slow",
       {Delay(Call::kWSAConnect, 150ms), Delay(Call::kWSASend, 150ms),
        Delay(Call::kWSAWaitForMultipleEvents, 50ms)},
       {},
       false,
       true,
       0,
       true,
       0},
  };
  for (const ExchangeCase& c : cases) Run(c);
}

TEST_F(FramedRequestFaults, ReplyIsHandedOutOnlyWhole) {
  const std::vector<unsigned char> whole = Reply(30, 26);
  const ExchangeCase cases[] = {
      {"whole reply", {}, Answering(whole, false), true, true, 0, true, 30},
      {"whole reply, extra bytes behind it", {}, Answering(Reply(10, 20)), true, true, 0, true, 10},
      {"whole reply in pieces",
       {ShortTransfer(Call::kWSARecv, 3)},
       Answering(whole),
       true,
       true,
       0,
       true,
       30},
      {"length only", {}, Answering(Reply(4, 0)), true, true, 0, true, 4},
      {"length 0: success, nothing handed out", {}, Answering(Reply(0, 0)), true, true, 0, true, 0},
      {"length shorter than its field",
       {},
       Answering(Reply(3, 0)),
       true,
       false,
       WSAEMSGSIZE,
       true,
       0},
      {"length above the limit",
       {},
       Answering(Reply(net::kMaxReplyLength + 1, 0)),
       true,
       false,
       WSAEMSGSIZE,
       true,
       0},
      {"length field cut short",
       {IdleWaitsEndAtOnce()},
       Answering({7, 0}),
       true,
       false,
       WSAECONNRESET,
       true,
       0},
      // When the close was already taken in while the length was read, the body's wait runs
      // out with nothing to tell it from a silent peer.
      {"body cut short",
       {IdleWaitsEndAtOnce()},
       Answering(Reply(100, 10)),
       true,
       false,
       WSAECONNRESET,
       true,
       0,
       WSAETIMEDOUT},
      {"body read fails",
       {FailCall(Call::kWSARecv, WSAECONNABORTED, 1)},
       Answering(whole, false),
       true,
       false,
       WSAECONNABORTED,
       true,
       0},
      {"no reply within the limit",
       {Inject(Call::kWSAWaitForMultipleEvents, Effect::kTimeOut, 2)},
       {},
       true,
       false,
       WSAETIMEDOUT,
       true,
       0},
      // Not examined: FD_READ is never asked for, so only the peer's close ends the wait.
      {"reply selection fails",
       {FailCall(Call::kWSAEventSelect, WSAENETDOWN, 2), IdleWaitsEndAtOnce()},
       Answering(whole),
       true,
       false,
       WSAECONNRESET,
       true,
       0},
  };
  for (const ExchangeCase& c : cases) Run(c);
}

TEST_F(FramedRequestFaults, ReplyBlockThatCannotBeMadeFailsTheExchange) {
  refuse_nothrow_arrays_from = 1000;
  Run({"no memory for the block",
       {},
       Answering(Reply(2000, 1996), false),
       true,
       false,
       WSAENOBUFS,
       true,
       0});
}

TEST_F(FramedRequestFaults, OutcomeIsOptionalAndTheThreadErrorTellsTheSame) {
  LoopbackPeer peer;
  const std::vector<unsigned char> frame = Frame(8);
  faults::ScopedPlan plan({FailCall(Call::kWSASend, WSAECONNRESET)});
  EXPECT_FALSE(net::SendFramedRequest("127.0.0.1", peer.port(), frame.data(),
                                      static_cast<std::uint32_t>(frame.size()), nullptr, nullptr));
  EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
}

TEST_F(FramedRequestFaults, ReplyLengthWithoutABlockIsRefusedBeforeAnythingIsMade) {
  const std::vector<unsigned char> frame = Frame(8);
  std::int32_t length = -1;
  int outcome = -2;
  faults::ScopedPlan plan({});
  EXPECT_FALSE(SendFramedRequestWithOutcome("127.0.0.1", 9, frame.data(),
                                            static_cast<std::uint32_t>(frame.size()), nullptr,
                                            &length, &outcome));
  EXPECT_EQ(outcome, WSAEINVAL);
  EXPECT_EQ(length, -1);
  EXPECT_EQ(faults::CallCount(Call::kWSASocketA), 0u);
}

}  // namespace
}  // namespace ostrel::testing
