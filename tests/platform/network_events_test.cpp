// When network events are recorded and reported, as the transfer loops rely on: recorded
// events survive a new selection, FD_CONNECT carries its error, FD_WRITE only at connect (and
// after a send that ran out of room), FD_READ only while bytes wait, FD_CLOSE once.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "net/loopback_peer.h"
#include "platform/winsock.h"
#include "socket_test_support.h"
#include "windows/under_wine.h"

namespace ostrel::testing {
namespace {

using namespace std::chrono_literals;

constexpr DWORD kQuietMs = 200;  // long enough for loopback to deliver anything pending

class NetworkEvents : public SocketsStarted {
 protected:
  void TearDown() override {
    for (WSAEVENT event : events_) {
      WSACloseEvent(event);
    }
    SocketsStarted::TearDown();
  }
  WSAEVENT NewEvent() {
    events_.push_back(WSACreateEvent());
    return events_.back();
  }

 private:
  std::vector<WSAEVENT> events_;
};

TEST_F(NetworkEvents, ConnectRecordsConnectAndWriteWhichSurviveReselection) {
  LoopbackPeer peer;
  RawClient client;
  ASSERT_TRUE(client.Connect(peer.port()));
  // Not fetched yet: a selection that asks for FD_WRITE is signalled at once.
  WSAEVENT exchange = NewEvent();
  ASSERT_EQ(WSAEventSelect(client.socket(), exchange, FD_WRITE | FD_CLOSE), 0);
  WSANETWORKEVENTS notes;
  EXPECT_EQ(NextEvents(client.socket(), exchange, 0, &notes), FD_WRITE);
  EXPECT_EQ(notes.iErrorCode[FD_WRITE_BIT], 0);
  // FD_CONNECT was not asked for, so it is still recorded for a selection that asks.
  WSAEVENT later = NewEvent();
  ASSERT_EQ(WSAEventSelect(client.socket(), later, FD_CONNECT), 0);
  EXPECT_EQ(NextEvents(client.socket(), later, 0, &notes), FD_CONNECT);
  EXPECT_EQ(notes.iErrorCode[FD_CONNECT_BIT], 0);
  // Fetched events are not reported again.
  ASSERT_EQ(WSAEventSelect(client.socket(), later, FD_CONNECT | FD_WRITE), 0);
  EXPECT_EQ(NextEvents(client.socket(), later, kQuietMs), 0);
}

TEST_F(NetworkEvents, RefusedConnectCarriesItsErrorAndNothingFollows) {
  RawClient client;
  ASSERT_TRUE(client.Connect(LoopbackPeer::UnusedPort()));
  WSANETWORKEVENTS notes;
  EXPECT_EQ(NextEvents(client.socket(), client.connect_event(), 0, &notes), FD_CONNECT);
  EXPECT_EQ(notes.iErrorCode[FD_CONNECT_BIT], WSAECONNREFUSED);
  // A failed connect looks writable to poll(); that must not become FD_WRITE.
  WSAEVENT exchange = NewEvent();
  ASSERT_EQ(WSAEventSelect(client.socket(), exchange, FD_WRITE | FD_CLOSE | FD_READ), 0);
  EXPECT_EQ(NextEvents(client.socket(), exchange, kQuietMs), 0);
  char byte = 'x';
  WSABUF buffer{1, &byte};
  DWORD sent = 0;
  EXPECT_EQ(WSASend(client.socket(), &buffer, 1, &sent, 0, nullptr, nullptr), SOCKET_ERROR);
}

TEST_F(NetworkEvents, AllZeroAddressIsRefusedAsOnWindows) {
  if (testenv::RunningUnderWine()) {
    GTEST_SKIP() << "Wine connects 0.0.0.0 to the local host, as Linux does";
  }
  RawClient client;
  const sockaddr_in any = LoopbackAddress(80);
  sockaddr_in zero = any;
  zero.sin_addr.s_addr = INADDR_ANY;
  EXPECT_EQ(WSAConnect(client.socket(), reinterpret_cast<const sockaddr*>(&zero), sizeof zero,
                       nullptr, nullptr, nullptr, nullptr),
            SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEADDRNOTAVAIL);
}

#if !defined(_WIN32)
// This layer's own rule; on Windows the socket classes check for it after connecting.
TEST_F(NetworkEvents, ConnectionThatMeetsItselfIsReportedAsRefused) {
  RawClient client;
  sockaddr_in local = LoopbackAddress(0);
  ASSERT_EQ(bind(client.socket(), reinterpret_cast<const sockaddr*>(&local), sizeof local), 0);
  int length = sizeof local;
  ASSERT_EQ(getsockname(client.socket(), reinterpret_cast<sockaddr*>(&local), &length), 0);
  const int started = client.StartConnect(ntohs(local.sin_port));
  if (started == WSAEWOULDBLOCK) {
    WSANETWORKEVENTS notes;
    ASSERT_EQ(NextEvents(client.socket(), client.connect_event(), 5000, &notes), FD_CONNECT);
    EXPECT_EQ(notes.iErrorCode[FD_CONNECT_BIT], WSAECONNREFUSED);
  } else {
    EXPECT_EQ(started, WSAECONNREFUSED);
  }
}
#endif

TEST_F(NetworkEvents, SuccessfulSendRecordsNoNewWrite) {
  LoopbackPeer peer;
  RawClient client;
  ASSERT_TRUE(client.Connect(peer.port()));
  WSAEVENT exchange = NewEvent();
  ASSERT_EQ(WSAEventSelect(client.socket(), exchange, FD_WRITE | FD_CLOSE), 0);
  ASSERT_EQ(NextEvents(client.socket(), exchange, 0), FD_WRITE);
  std::vector<char> frame(205, 'f');
  WSABUF buffer{static_cast<ULONG>(frame.size()), frame.data()};
  DWORD sent = 0;
  ASSERT_EQ(WSASend(client.socket(), &buffer, 1, &sent, 0, nullptr, nullptr), 0);
  EXPECT_EQ(sent, frame.size());
  EXPECT_EQ(NextEvents(client.socket(), exchange, kQuietMs), 0);
}

TEST_F(NetworkEvents, ReadIsRecordedAgainWhileBytesRemain) {
  PeerScript script;
  script.reply = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
  LoopbackPeer peer(script);
  RawClient client;
  ASSERT_TRUE(client.Connect(peer.port()));
  WSAEVENT exchange = NewEvent();
  ASSERT_EQ(WSAEventSelect(client.socket(), exchange, FD_READ | FD_CLOSE), 0);
  ASSERT_EQ(NextEvents(client.socket(), exchange, 5000), FD_READ);
  char into[10];
  DWORD flags = 0;
  DWORD received = 0;
  WSABUF first{4, into};
  ASSERT_EQ(WSARecv(client.socket(), &first, 1, &received, &flags, nullptr, nullptr), 0);
  EXPECT_EQ(received, 4u);
  EXPECT_EQ(NextEvents(client.socket(), exchange, 5000), FD_READ);
  WSABUF rest{6, into + 4};
  ASSERT_EQ(WSARecv(client.socket(), &rest, 1, &received, &flags, nullptr, nullptr), 0);
  EXPECT_EQ(received, 6u);
  EXPECT_EQ(NextEvents(client.socket(), exchange, kQuietMs), 0);
  EXPECT_EQ(std::string(into, 10), "0123456789");
}

TEST_F(NetworkEvents, EndOfStreamIsOneCloseAndNeverRead) {
  PeerScript script;
  script.action = PeerAction::kCloseAtOnce;
  LoopbackPeer peer(script);
  RawClient client;
  ASSERT_TRUE(client.Connect(peer.port()));
  WSAEVENT exchange = NewEvent();
  ASSERT_EQ(WSAEventSelect(client.socket(), exchange, FD_READ | FD_CLOSE), 0);
  WSANETWORKEVENTS notes;
  EXPECT_EQ(NextEvents(client.socket(), exchange, 5000, &notes), FD_CLOSE);
  EXPECT_EQ(notes.iErrorCode[FD_CLOSE_BIT], 0);
  // Once only: a loop that ignores FD_CLOSE must come to a wait that runs out, not spin.
  EXPECT_EQ(NextEvents(client.socket(), exchange, kQuietMs), 0);
  // A receive at the end of the stream completes with 0 bytes, and records nothing.
  char into[4];
  WSABUF buffer{sizeof into, into};
  DWORD received = 99;
  DWORD flags = 0;
  EXPECT_EQ(WSARecv(client.socket(), &buffer, 1, &received, &flags, nullptr, nullptr), 0);
  EXPECT_EQ(received, 0u);
  EXPECT_EQ(NextEvents(client.socket(), exchange, kQuietMs), 0);
}

TEST_F(NetworkEvents, CloseIsReportedWithBytesStillUnread) {
  if (testenv::RunningUnderWine()) {
    GTEST_SKIP() << "Wine reports FD_CLOSE only once the bytes were read; Windows at once";
  }
  PeerScript script;
  script.reply = {'a', 'b', 'c', 'd', 'e'};
  script.close_after_reply = true;
  LoopbackPeer peer(script);
  RawClient client;
  ASSERT_TRUE(client.Connect(peer.port()));
  ASSERT_TRUE(peer.WaitForFinished(1, 5s));
  WSAEVENT exchange = NewEvent();
  ASSERT_EQ(WSAEventSelect(client.socket(), exchange, FD_READ | FD_CLOSE), 0);
  long seen = 0;
  for (int pass = 0; pass < 3 && seen != (FD_READ | FD_CLOSE); ++pass) {
    seen |= NextEvents(client.socket(), exchange, kQuietMs);
  }
  EXPECT_EQ(seen, FD_READ | FD_CLOSE);
}

TEST_F(NetworkEvents, ResetIsACloseWithConnectionAborted) {
  PeerScript script;
  script.action = PeerAction::kResetAtOnce;
  LoopbackPeer peer(script);
  RawClient client;
  ASSERT_TRUE(client.Connect(peer.port()));
  WSAEVENT exchange = NewEvent();
  ASSERT_EQ(WSAEventSelect(client.socket(), exchange, FD_READ | FD_CLOSE), 0);
  WSANETWORKEVENTS notes;
  EXPECT_EQ(NextEvents(client.socket(), exchange, 5000, &notes), FD_CLOSE);
#if !defined(_WIN32)
  // What Windows reports after a reset (some emulations say 0).
  EXPECT_EQ(notes.iErrorCode[FD_CLOSE_BIT], WSAECONNABORTED);
#endif
  EXPECT_EQ(NextEvents(client.socket(), exchange, kQuietMs), 0);
}

TEST_F(NetworkEvents, FetchWritesOnlyTheReportedErrorSlots) {
  LoopbackPeer peer;
  RawClient client;
  ASSERT_TRUE(client.Connect(peer.port()));
  WSAEVENT exchange = NewEvent();
  ASSERT_EQ(WSAEventSelect(client.socket(), exchange, FD_WRITE | FD_CLOSE), 0);
  WSANETWORKEVENTS notes;
  for (int& code : notes.iErrorCode) {
    code = 77;
  }
  ASSERT_EQ(NextEvents(client.socket(), exchange, 0, &notes), FD_WRITE);
  EXPECT_EQ(notes.iErrorCode[FD_WRITE_BIT], 0);
  EXPECT_EQ(notes.iErrorCode[FD_CLOSE_BIT], 77);
  EXPECT_EQ(notes.iErrorCode[FD_CONNECT_BIT], 77);
}

TEST_F(NetworkEvents, FetchOnAClosedSocketFailsAndChangesNothing) {
  RawClient client;
  const SOCKET gone = WSASocketA(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, 0);
  ASSERT_EQ(closesocket(gone), 0);
  WSAEVENT event = NewEvent();
  ASSERT_TRUE(WSASetEvent(event));
  WSANETWORKEVENTS notes;
  notes.lNetworkEvents = 0x5A;
  EXPECT_EQ(WSAEnumNetworkEvents(gone, event, &notes), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  EXPECT_EQ(notes.lNetworkEvents, 0x5A);
#if !defined(_WIN32)
  // The event is left alone too (Wine resets it even so).
  EXPECT_EQ(WSAWaitForMultipleEvents(1, &event, TRUE, 0, FALSE), WSA_WAIT_EVENT_0);
#endif
}

TEST_F(NetworkEvents, ClosingTheSelectedEventIsSafe) {
  LoopbackPeer peer;
  RawClient client;
  WSAEVENT first = WSACreateEvent();
  ASSERT_EQ(WSAEventSelect(client.socket(), first, FD_CONNECT | FD_WRITE), 0);
  ASSERT_TRUE(WSACloseEvent(first));
  WSAEVENT second = NewEvent();  // may take the closed event's place
  const sockaddr_in address = LoopbackAddress(peer.port());
  const int result = WSAConnect(client.socket(), reinterpret_cast<const sockaddr*>(&address),
                                sizeof address, nullptr, nullptr, nullptr, nullptr);
  ASSERT_TRUE(result == 0 || WSAGetLastError() == WSAEWOULDBLOCK);
  ASSERT_TRUE(peer.WaitForAccepted(1, 5s));
  // The connect's events go to the stale handle, which reaches nothing.
  EXPECT_EQ(WSAWaitForMultipleEvents(1, &second, TRUE, kQuietMs, FALSE),
            static_cast<DWORD>(WSA_WAIT_TIMEOUT));
  ASSERT_EQ(WSAEventSelect(client.socket(), second, FD_CONNECT | FD_WRITE), 0);
  EXPECT_EQ(NextEvents(client.socket(), second, 5000), FD_CONNECT | FD_WRITE);
}

TEST_F(NetworkEvents, AcceptedSocketTakesOverTheSelectionAndAcceptIsRecordedAgain) {
  const SOCKET listener =
      WSASocketA(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
  sockaddr_in address = LoopbackAddress(0);
  ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  int length = sizeof address;
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  WSAEVENT accept_event = NewEvent();
  ASSERT_EQ(WSAEventSelect(listener, accept_event, FD_ACCEPT | FD_WRITE), 0);

  RawClient first;
  ASSERT_TRUE(first.Connect(ntohs(address.sin_port)));
  ASSERT_EQ(NextEvents(listener, accept_event, 5000), FD_ACCEPT);
  sockaddr_in peer;
  int peer_length = sizeof peer;
  const SOCKET accepted =
      WSAAccept(listener, reinterpret_cast<sockaddr*>(&peer), &peer_length, nullptr, 0);
  ASSERT_NE(accepted, INVALID_SOCKET);
  EXPECT_EQ(peer.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
  // Its FD_WRITE (recorded on accept) signals the selection it took over.
  EXPECT_EQ(NextEvents(accepted, accept_event, 5000), FD_WRITE);

  RawClient second;
  ASSERT_TRUE(second.Connect(ntohs(address.sin_port)));
  EXPECT_EQ(NextEvents(listener, accept_event, 5000), FD_ACCEPT);
  closesocket(accepted);
  closesocket(listener);
}

}  // namespace
}  // namespace ostrel::testing
