// Every failure branch of the socket classes, driven by the fault plan: what each operation
// reports, that it stays within its time limit, and that nothing it made is left behind.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "faults/fault_test_support.h"
#include "net/loopback_peer.h"
#include "net/stream_client_socket.h"
#include "net/time_limits.h"

namespace ostrel::testing {
namespace {

using namespace std::chrono_literals;

u_long Loopback() { return htonl(INADDR_LOOPBACK); }
u_short Port(int port) { return htons(static_cast<u_short>(port)); }

class SocketClassFaults : public FaultTest {
 protected:
  LoopbackPeer peer_;
};

// CreateAndBind: each step that can fail, and what the failure leaves.
struct CreateCase {
  const char* name;
  faults::Fault fault;
  bool created;       // the result of CreateAndBind
  int error;          // the thread's error afterwards when it failed
  bool holds_socket;  // the object holds a socket afterwards
};

TEST_F(SocketClassFaults, CreateAndBindReportsEachFailingStepAndLeaksNothing) {
  const CreateCase cases[] = {
      {"socket", FailCall(Call::kWSASocketA, WSAEMFILE), false, WSAEMFILE, false},
      {"send event", FailCall(Call::kWSACreateEvent, WSA_NOT_ENOUGH_MEMORY), false, WSAENOBUFS,
       true},
      {"receive event", FailCall(Call::kWSACreateEvent, WSA_NOT_ENOUGH_MEMORY, 1), false,
       WSAENOBUFS, true},
      {"address reuse (not examined)", FailCall(Call::kSetSockOpt, WSAENOPROTOOPT), true, 0, true},
      {"bind", FailCall(Call::kBind, WSAEADDRINUSE), false, WSAEADDRINUSE, true},
      {"local address (not examined)", FailCall(Call::kGetSockName, WSAEFAULT), true, 0, true},
  };
  for (const CreateCase& c : cases) {
    SCOPED_TRACE(c.name);
    {
      net::StreamClientSocket socket;
      faults::ScopedPlan plan({c.fault});
      EXPECT_EQ(socket.CreateAndBind(INADDR_ANY, 0), c.created);
      if (!c.created) {
        EXPECT_EQ(WSAGetLastError(), c.error);
      }
      EXPECT_EQ(socket.Handle() != INVALID_SOCKET, c.holds_socket);
      EXPECT_EQ(faults::Hits(), 1u);
    }
    EXPECT_TRUE(NothingLeft());
  }
}

TEST_F(SocketClassFaults, CreateAndBindToAChosenPortTakesItAtOnce) {
  const int port = LoopbackPeer::UnusedPort();
  for (const u_long address : {Loopback(), u_long{INADDR_ANY}}) {
    net::StreamClientSocket socket;  // bound only, never listening
    ASSERT_TRUE(socket.CreateAndBind(address, Port(port)));
    EXPECT_EQ(socket.LocalAddress().sin_port, Port(port));
    EXPECT_EQ(socket.LocalAddress().sin_addr.s_addr, address);
  }
}

TEST_F(SocketClassFaults, CreateThatFailsStillMakesBothEventsAndKeepsThemOnRetry) {
  net::StreamClientSocket socket;
  {
    faults::ScopedPlan plan({FailCall(Call::kWSASocketA, WSAEMFILE)});
    EXPECT_EQ(socket.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, WSA_FLAG_OVERLAPPED),
              INVALID_SOCKET);
  }
  const WSAEVENT send_event = socket.SendEvent();
  EXPECT_NE(send_event, WSA_INVALID_EVENT);
  EXPECT_NE(socket.ReceiveEvent(), WSA_INVALID_EVENT);
  EXPECT_NE(socket.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, WSA_FLAG_OVERLAPPED), INVALID_SOCKET);
  EXPECT_EQ(socket.SendEvent(), send_event);  // not made a second time
}

TEST_F(SocketClassFaults, FailingCloseIsReportedAndStillReleasesEverything) {
  {
    net::StreamClientSocket socket;
    ASSERT_TRUE(socket.CreateAndBind(INADDR_ANY, 0));
    faults::ScopedPlan plan({FailCall(Call::kCloseSocket, WSAENETDOWN)});
    EXPECT_FALSE(socket.Close());
    EXPECT_EQ(socket.Handle(), INVALID_SOCKET);
    EXPECT_EQ(socket.SendEvent(), WSA_INVALID_EVENT);
    EXPECT_EQ(socket.ReceiveEvent(), WSA_INVALID_EVENT);
  }
  EXPECT_TRUE(NothingLeft());
}

TEST_F(SocketClassFaults, AddressReuseSelectionListenAndAcceptReportTheirFailures) {
  net::StreamClientSocket socket;
  ASSERT_TRUE(socket.CreateAndBind(Loopback(), 0));
  WSAEVENT event = WSACreateEvent();
  {
    faults::ScopedPlan plan({FailCall(Call::kSetSockOpt, WSAENOPROTOOPT),
                             FailCall(Call::kWSAEventSelect, WSAENETDOWN),
                             FailCall(Call::kListen, WSAEADDRINUSE)});
    EXPECT_FALSE(socket.SetReuseAddress(true));
    EXPECT_FALSE(socket.SelectEvents(event, FD_ACCEPT));
    EXPECT_EQ(WSAGetLastError(), WSAENETDOWN);
    EXPECT_FALSE(socket.Listen(4));
    EXPECT_EQ(WSAGetLastError(), WSAEADDRINUSE);
  }
  ASSERT_TRUE(socket.Listen(4));
  net::StreamClientSocket target;
  {
    faults::ScopedPlan plan({FailCall(Call::kWSAAccept, WSAEMFILE)});
    EXPECT_FALSE(socket.Accept(target));
    EXPECT_EQ(WSAGetLastError(), WSAEMFILE);
    EXPECT_EQ(target.Handle(), INVALID_SOCKET);
  }
  WSACloseEvent(event);
}

// Connect: every way the attempt can end, each within the 5000 ms limit, the connect event
// always closed, and the socket kept open on failure.
struct ConnectCase {
  const char* name;
  std::vector<faults::Fault> plan;
  bool connected;
  int error;
};

TEST_F(SocketClassFaults, ConnectEndsEveryWayWithinItsLimitAndClosesItsEvent) {
  const ConnectCase cases[] = {
      {"connect event not made",
       {FailCall(Call::kWSACreateEvent, WSA_NOT_ENOUGH_MEMORY)},
       false,
       WSA_NOT_ENOUGH_MEMORY},
      {"selection fails", {FailCall(Call::kWSAEventSelect, WSAENETDOWN)}, false, WSAENETDOWN},
      {"connect fails at once",
       {FailCall(Call::kWSAConnect, WSAENETUNREACH)},
       false,
       WSAENETUNREACH},
      {"connect completes at once", {Inject(Call::kWSAConnect, Effect::kBlocking)}, true, 0},
      {"no notification within the limit",
       {Inject(Call::kWSAWaitForMultipleEvents, Effect::kTimeOut)},
       false,
       WSAETIMEDOUT},
      {"wait fails",
       {FailCall(Call::kWSAWaitForMultipleEvents, WSA_INVALID_HANDLE)},
       false,
       WSA_INVALID_HANDLE},
      {"fetch fails", {FailCall(Call::kWSAEnumNetworkEvents, WSAENETDOWN)}, false, WSAENETDOWN},
      {"woken without the notification",
       {Inject(Call::kWSAEnumNetworkEvents, Effect::kEmpty)},
       true,
       0},
      {"woken at once, before the outcome",
       {Inject(Call::kWSAWaitForMultipleEvents, Effect::kWake)},
       true,
       0},
      {"slow start", {Delay(Call::kWSAConnect, 200ms)}, true, 0},
  };
  for (const ConnectCase& c : cases) {
    SCOPED_TRACE(c.name);
    {
      net::StreamClientSocket socket;
      ASSERT_TRUE(socket.CreateAndBind(INADDR_ANY, 0));
      const std::size_t events_before = CurrentResourceCounts().events;
      std::chrono::milliseconds elapsed;
      faults::Arm(c.plan);
      const bool connected =
          Timed([&] { return socket.Connect(Loopback(), Port(peer_.port())); }, &elapsed);
      const int error = WSAGetLastError();
      faults::Disarm();
      EXPECT_EQ(connected, c.connected);
      if (!c.connected) {
        EXPECT_EQ(error, c.error);
        EXPECT_NE(socket.Handle(), INVALID_SOCKET);  // the caller decides about the socket
        EXPECT_EQ(socket.RemoteAddress().sin_port, 0);
      } else {
        EXPECT_EQ(socket.RemoteAddress().sin_port, Port(peer_.port()));
      }
      EXPECT_GE(faults::Hits(), 1u);
      EXPECT_LT(elapsed, std::chrono::milliseconds(net::kConnectLimitMs));
      EXPECT_EQ(CurrentResourceCounts().events, events_before);  // the connect event is gone
    }
    EXPECT_TRUE(NothingLeft(/*descriptors=*/false));
  }
  EXPECT_TRUE(SettlePeer(peer_));
  EXPECT_TRUE(NothingLeft());
}

TEST_F(SocketClassFaults, ConnectToWithAddressTextThatIsNoAddressMakesNoCall) {
  net::StreamClientSocket socket;
  ASSERT_TRUE(socket.CreateAndBind(INADDR_ANY, 0));
  faults::ScopedPlan plan({});
  EXPECT_FALSE(socket.ConnectTo("wall-7", peer_.port()));
  EXPECT_EQ(WSAGetLastError(), WSAEADDRNOTAVAIL);
  EXPECT_FALSE(socket.ConnectTo(nullptr, peer_.port()));
  EXPECT_EQ(faults::CallCount(Call::kWSACreateEvent), 0u);
  EXPECT_EQ(faults::CallCount(Call::kWSAConnect), 0u);
}

// A connected client whose peer answers once it has the request.
class ConnectedClient {
 public:
  explicit ConnectedClient(const LoopbackPeer& peer) {
    EXPECT_TRUE(socket.CreateAndBind(INADDR_ANY, 0));
    EXPECT_TRUE(socket.ConnectTo("127.0.0.1", peer.port()));
  }
  int Receive(char* into, ULONG size) {
    buffer = WSABUF{size, into};
    DWORD count = 0;
    return socket.Receive(&buffer, 1, &count, 0);
  }
  int Send(const char* bytes, ULONG size) {
    out = WSABUF{size, const_cast<char*>(bytes)};
    DWORD count = 0;
    return socket.Send(&out, 1, &count, 0);
  }
  net::StreamClientSocket socket;
  WSABUF buffer{};
  WSABUF out{};
};

PeerScript AnswersAfterRequest() {
  PeerScript script;
  script.reply = {'o', 'k'};
  script.reply_after = 1;
  return script;
}

TEST_F(SocketClassFaults, ClosingWithATransferUnderWayCancelsItFirst) {
  {
    PeerScript script = AnswersAfterRequest();
    LoopbackPeer peer(script);
    {
      ConnectedClient client(peer);
      char into[2];
      ASSERT_EQ(client.Receive(into, sizeof into), WSA_IO_PENDING);  // nothing asked yet
      std::chrono::milliseconds elapsed;
      EXPECT_TRUE(Timed([&] { return client.socket.Close(); }, &elapsed));
      EXPECT_LT(elapsed, 1000ms);
    }
    ASSERT_TRUE(SettlePeer(peer));
  }
  EXPECT_TRUE(NothingLeft());
}

TEST_F(SocketClassFaults, ReceiveThatFinishedBeforeItsLimitCountsEvenWhenTheWaitSaysOtherwise) {
  PeerScript script = AnswersAfterRequest();
  LoopbackPeer peer(script);
  ConnectedClient client(peer);
  char into[2];
  ASSERT_EQ(client.Receive(into, sizeof into), WSA_IO_PENDING);
  ASSERT_EQ(client.Send("?", 1), 0);
  // Waiting on the record's event drives the receive to its end.
  WSAEVENT done = client.socket.ReceiveEvent();
  ASSERT_EQ(WSAWaitForMultipleEvents(1, &done, TRUE, 5000, FALSE), WSA_WAIT_EVENT_0);
  DWORD transferred = 0;
  faults::ScopedPlan plan({Inject(Call::kWSAWaitForMultipleEvents, Effect::kTimeOut)});
  EXPECT_TRUE(client.socket.AwaitReceiveResult(2000, &transferred));
  EXPECT_EQ(transferred, 2u);
  EXPECT_EQ(into[0], 'o');
}

TEST_F(SocketClassFaults, CompletionEventSetByAnotherDoesNotEndTheWaitForTheResult) {
  PeerScript script = AnswersAfterRequest();
  LoopbackPeer peer(script);
  ConnectedClient client(peer);
  char into[2];
  ASSERT_EQ(client.Receive(into, sizeof into), WSA_IO_PENDING);
  ASSERT_TRUE(WSASetEvent(client.socket.ReceiveEvent()));
  ASSERT_EQ(client.Send("?", 1), 0);
  DWORD transferred = 0;
  EXPECT_TRUE(client.socket.AwaitReceiveResult(5000, &transferred));
  EXPECT_EQ(transferred, 2u);
}

TEST_F(SocketClassFaults, ReceiveResultWaitsWithoutALimitWhenAskedTo) {
  PeerScript script = AnswersAfterRequest();
  LoopbackPeer peer(script);
  ConnectedClient client(peer);
  char into[2];
  ASSERT_EQ(client.Receive(into, sizeof into), WSA_IO_PENDING);
  DWORD transferred = 0;
  EXPECT_FALSE(client.socket.GetReceiveResult(false, &transferred));
  EXPECT_EQ(WSAGetLastError(), WSA_IO_INCOMPLETE);
  ASSERT_EQ(client.Send("?", 1), 0);
  EXPECT_TRUE(client.socket.GetReceiveResult(true, &transferred));
  EXPECT_EQ(transferred, 2u);
}

}  // namespace
}  // namespace ostrel::testing
