// Every branch of the transfer loops, driven by the fault plan against loopback peers: the
// result, the error that explains a failure, the bytes that moved, the time taken (no injected
// failure may cost a real 2000 ms wait), and nothing left behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include "faults/fault_test_support.h"
#include "net/stream_client_socket.h"
#include "net/time_limits.h"
#include "net/transfer.h"

namespace ostrel::testing {
namespace {

using namespace std::chrono_literals;

constexpr auto kWaitLimit = std::chrono::milliseconds(net::kNotificationWaitMs);

// A client connected to a peer, with the exchange event selected as the exchange does.
class Connection {
 public:
  Connection(const LoopbackPeer& peer, long mask) : event_(WSACreateEvent()) {
    EXPECT_TRUE(socket_.CreateAndBind(INADDR_ANY, 0));
    EXPECT_TRUE(socket_.ConnectTo("127.0.0.1", peer.port()));
    EXPECT_TRUE(socket_.SelectEvents(event_, mask));
  }
  ~Connection() { WSACloseEvent(event_); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  net::StreamClientSocket& socket() { return socket_; }
  WSAEVENT event() const { return event_; }

 private:
  net::StreamClientSocket socket_;
  WSAEVENT event_;
};

std::vector<unsigned char> Pattern(std::size_t size) {
  std::vector<unsigned char> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(i * 7 + 1);
  return bytes;
}

class TransferFaults : public FaultTest {};

struct SendCase {
  const char* name;
  std::vector<faults::Fault> plan;
  PeerAction peer;
  long mask;       // selected on the exchange event
  bool sent;       // SendAll's result
  int error;       // the error on failure; 0 when any
  bool delivered;  // the peer received every byte
};

TEST_F(TransferFaults, SendAllTakesEveryBranchAndReportsWhy) {
  const long kSend = FD_WRITE | FD_CLOSE;
  const SendCase cases[] = {
      {"finishes at once", {}, PeerAction::kRead, kSend, true, 0, true},
      {"goes pending for want of room, then completes",
       {Inject(Call::kWSASend, Effect::kWouldBlock)},
       PeerAction::kRead,
       kSend,
       true,
       0,
       true},
      {"sends a part at once, the rest pending",
       {ShortTransfer(Call::kWSASend, 100, 0, 1)},
       PeerAction::kRead,
       kSend,
       true,
       0,
       true},
      {"woken without a notification, then sends",
       {Inject(Call::kWSAEnumNetworkEvents, Effect::kEmpty)},
       PeerAction::kRead,
       kSend,
       true,
       0,
       true},
      {"send fails at once",
       {FailCall(Call::kWSASend, WSAECONNRESET)},
       PeerAction::kRead,
       kSend,
       false,
       WSAECONNRESET,
       false},
      {"pending send fails",
       {Inject(Call::kWSASend, Effect::kWouldBlock),
        FailCall(Call::kWSAGetOverlappedResult, WSAECONNABORTED)},
       PeerAction::kRead,
       kSend,
       false,
       WSAECONNABORTED,
       false},
      {"pending send runs out of time",
       {Inject(Call::kWSASend, Effect::kWouldBlock),
        Inject(Call::kWSAWaitForMultipleEvents, Effect::kTimeOut, 1)},
       PeerAction::kRead,
       kSend,
       false,
       WSAETIMEDOUT,
       false},
      {"pending send runs out of time and cannot be cancelled",
       {Inject(Call::kWSASend, Effect::kWouldBlock),
        Inject(Call::kWSAWaitForMultipleEvents, Effect::kTimeOut, 1),
        FailCall(Call::kCancelIoEx, ERROR_NOT_FOUND)},
       PeerAction::kRead,
       kSend,
       false,
       WSAETIMEDOUT,
       false},
      {"pending send's wait fails",
       {Inject(Call::kWSASend, Effect::kWouldBlock),
        FailCall(Call::kWSAWaitForMultipleEvents, WSA_INVALID_HANDLE, 1)},
       PeerAction::kRead,
       kSend,
       false,
       WSA_INVALID_HANDLE,
       false},
      {"no notification within the limit",
       {Inject(Call::kWSAWaitForMultipleEvents, Effect::kTimeOut)},
       PeerAction::kRead,
       kSend,
       false,
       WSAETIMEDOUT,
       false},
      {"wait fails",
       {FailCall(Call::kWSAWaitForMultipleEvents, WSA_INVALID_HANDLE)},
       PeerAction::kRead,
       kSend,
       false,
       WSA_INVALID_HANDLE,
       false},
      {"fetch fails",
       {FailCall(Call::kWSAEnumNetworkEvents, WSAENETDOWN)},
       PeerAction::kRead,
       kSend,
       false,
       WSAENETDOWN,
       false},
      {"peer closes first: what the pass allowed is sent",
       {},
       PeerAction::kCloseAtOnce,
       kSend,
       true,
       0,
       false},
      {"peer closes before there is room",
       {},
       PeerAction::kCloseAtOnce,
       FD_CLOSE,
       false,
       WSAECONNRESET,
       false},
      {"peer resets before there is room",
       {},
       PeerAction::kResetAtOnce,
       FD_CLOSE,
       false,
       WSAECONNABORTED,
       false},
      {"every call slow",
       {Delay(Call::kWSASend, 150ms), Delay(Call::kWSAWaitForMultipleEvents, 100ms)},
       PeerAction::kRead,
       kSend,
       true,
       0,
       true},
  };
  const std::vector<unsigned char> data = Pattern(64 * 1024);
  for (const SendCase& c : cases) {
    SCOPED_TRACE(c.name);
    {
      PeerScript script;
      script.action = c.peer;
      LoopbackPeer peer(script);
      {
        Connection connection(peer, c.mask);
        if (c.peer != PeerAction::kRead) {
          ASSERT_TRUE(peer.WaitForFinished(1, 5s));  // closed before the loop starts
        }
        std::chrono::milliseconds elapsed;
        faults::Arm(c.plan);
        const bool sent = Timed(
            [&] {
              return net::SendAll(connection.socket(), connection.event(), data.data(),
                                  static_cast<std::uint32_t>(data.size()));
            },
            &elapsed);
        const int error = WSAGetLastError();
        faults::Disarm();
        EXPECT_EQ(sent, c.sent);
        if (!c.sent) {
          EXPECT_NE(error, 0);
          if (c.error != 0) {
            EXPECT_EQ(error, c.error);
          }
        }
        EXPECT_LT(elapsed, kWaitLimit);  // no injected failure waits out a real limit
        if (!c.plan.empty()) {
          EXPECT_GE(faults::Hits(), 1u);
        }
      }
      if (c.delivered) {
        ASSERT_TRUE(peer.WaitForFinished(1, 5s));
        EXPECT_TRUE(peer.Connections()[0].bytes == data);
      }
    }
    EXPECT_TRUE(NothingLeft());
  }
}

struct ReceiveCase {
  const char* name;
  std::vector<faults::Fault> plan;
  PeerAction peer;
  std::size_t offered;  // bytes the peer sends at once
  bool close_after;     // the peer closes once it has sent them
  std::size_t asked;    // bytes ReceiveAll is to read
  bool received;        // ReceiveAll's result
  int error;            // the error on failure; 0 when any
};

TEST_F(TransferFaults, ReceiveAllTakesEveryBranchAndReportsWhy) {
  const ReceiveCase cases[] = {
      {"arrives whole", {}, PeerAction::kRead, 64, false, 64, true, 0},
      {"arrives in short pieces, one pass each",
       {ShortTransfer(Call::kWSARecv, 7)},
       PeerAction::kRead,
       64,
       false,
       64,
       true,
       0},
      {"goes pending, then completes",
       {Inject(Call::kWSARecv, Effect::kWouldBlock)},
       PeerAction::kRead,
       64,
       false,
       64,
       true,
       0},
      {"woken without a notification, then reads",
       {Inject(Call::kWSAEnumNetworkEvents, Effect::kEmpty)},
       PeerAction::kRead,
       64,
       false,
       64,
       true,
       0},
      {"receive fails at once",
       {FailCall(Call::kWSARecv, WSAECONNRESET)},
       PeerAction::kRead,
       64,
       false,
       64,
       false,
       WSAECONNRESET},
      {"pending receive fails",
       {Inject(Call::kWSARecv, Effect::kWouldBlock),
        FailCall(Call::kWSAGetOverlappedResult, WSAECONNABORTED)},
       PeerAction::kRead,
       64,
       false,
       64,
       false,
       WSAECONNABORTED},
      {"pending receive runs out of time",
       {Inject(Call::kWSARecv, Effect::kWouldBlock),
        Inject(Call::kWSAWaitForMultipleEvents, Effect::kTimeOut, 1)},
       PeerAction::kRead,
       64,
       false,
       64,
       false,
       WSAETIMEDOUT},
      {"no notification within the limit",
       {Inject(Call::kWSAWaitForMultipleEvents, Effect::kTimeOut)},
       PeerAction::kRead,
       64,
       false,
       64,
       false,
       WSAETIMEDOUT},
      {"wait fails",
       {FailCall(Call::kWSAWaitForMultipleEvents, WSA_INVALID_HANDLE)},
       PeerAction::kRead,
       64,
       false,
       64,
       false,
       WSA_INVALID_HANDLE},
      {"fetch fails",
       {FailCall(Call::kWSAEnumNetworkEvents, WSAENETDOWN)},
       PeerAction::kRead,
       64,
       false,
       64,
       false,
       WSAENETDOWN},
      {"peer closes short of the count: the close is the reason",
       {IdleWaitsEndAtOnce()},
       PeerAction::kRead,
       10,
       true,
       20,
       false,
       WSAECONNRESET},
      {"peer closes after all of it",
       {IdleWaitsEndAtOnce()},
       PeerAction::kRead,
       20,
       true,
       20,
       true,
       0},
      // The close is seen with the bytes, then a wait fails: its own error is the reason.
      {"peer closes short of the count, then the wait fails",
       {FailCall(Call::kWSAWaitForMultipleEvents, WSA_INVALID_HANDLE, 1)},
       PeerAction::kRead,
       10,
       true,
       20,
       false,
       WSA_INVALID_HANDLE},
      {"peer resets at once",
       {IdleWaitsEndAtOnce()},
       PeerAction::kResetAtOnce,
       0,
       false,
       20,
       false,
       WSAECONNABORTED},
  };
  for (const ReceiveCase& c : cases) {
    SCOPED_TRACE(c.name);
    {
      PeerScript script;
      script.action = c.peer;
      script.reply = Pattern(c.offered);
      script.close_after_reply = c.close_after;
      LoopbackPeer peer(script);
      {
        Connection connection(peer, FD_READ | FD_CLOSE);
        if (c.close_after) {
          ASSERT_TRUE(peer.WaitForFinished(1, 5s));  // bytes and close are both there
        }
        std::vector<unsigned char> buffer(c.asked, 0);
        std::chrono::milliseconds elapsed;
        faults::Arm(c.plan);
        const bool received = Timed(
            [&] {
              return net::ReceiveAll(connection.socket(), connection.event(), buffer.data(),
                                     static_cast<std::uint32_t>(buffer.size()));
            },
            &elapsed);
        const int error = WSAGetLastError();
        faults::Disarm();
        EXPECT_EQ(received, c.received);
        if (c.received) {
          EXPECT_TRUE(buffer == Pattern(c.asked));
        } else {
          EXPECT_NE(error, 0);
          if (c.error != 0) {
            EXPECT_EQ(error, c.error);
          }
        }
        if (!c.received && c.offered > 0 && c.offered < c.asked) {
          // The bytes that came before the failure are where they belong.
          const std::vector<unsigned char> offered = Pattern(c.offered);
          EXPECT_TRUE(std::equal(offered.begin(), offered.end(), buffer.begin()));
        }
        EXPECT_LT(elapsed, kWaitLimit);
        if (!c.plan.empty()) {
          EXPECT_GE(faults::Hits(), 1u);
        }
      }
      ASSERT_TRUE(SettlePeer(peer));
    }
    EXPECT_TRUE(NothingLeft());
  }
}

}  // namespace
}  // namespace ostrel::testing
