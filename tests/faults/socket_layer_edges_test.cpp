// The socket layer's answers to calls made wrongly, too early or in an unusual mode: the
// Windows Sockets error each gives, and the blocking mode of sockets that were never selected.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <thread>
#include <utility>
#include <vector>

#include "faults/fault_test_support.h"
#include "faults/native_reset.h"
#include "net/framed_request.h"
#include "platform/posix/errors.h"
#include "platform/socket_test_support.h"

namespace ostrel::testing {
namespace {

using namespace std::chrono_literals;

SOCKET NewSocket() {
  return WSASocketA(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
}

// A socket connected without any selection: it stays in blocking mode.
SOCKET BlockingClient(int port) {
  const SOCKET s = NewSocket();
  const sockaddr_in address = LoopbackAddress(port);
  if (WSAConnect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address, nullptr, nullptr,
                 nullptr, nullptr) != 0) {
    closesocket(s);
    return INVALID_SOCKET;
  }
  return s;
}

class SocketLayerEdges : public FaultTest {};

TEST_F(SocketLayerEdges, SocketsOnlyOfTheOneKindOffered) {
  char opaque[64] = {};
  auto* info = reinterpret_cast<WSAPROTOCOL_INFOA*>(opaque);
  const struct {
    int family, type, protocol;
    WSAPROTOCOL_INFOA* info;
    GROUP group;
    int error;
  } cases[] = {
      {23, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSAEAFNOSUPPORT},  // AF_INET6
      {AF_INET, 2, IPPROTO_TCP, nullptr, 0, WSAESOCKTNOSUPPORT},    // datagrams
      {AF_INET, SOCK_STREAM, 17, nullptr, 0, WSAEPROTONOSUPPORT},   // UDP
      {AF_INET, SOCK_STREAM, IPPROTO_TCP, info, 0, WSAEINVAL},
      {AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 1, WSAEINVAL},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(WSASocketA(c.family, c.type, c.protocol, c.info, c.group, WSA_FLAG_OVERLAPPED),
              INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), c.error);
  }
  const SOCKET any_protocol = WSASocketA(AF_INET, SOCK_STREAM, 0, nullptr, 0, 0);
  EXPECT_NE(any_protocol, INVALID_SOCKET);
  closesocket(any_protocol);
  EXPECT_TRUE(NothingLeft());
}

TEST_F(SocketLayerEdges, HandlesThatNameNoSocketAreRefused) {
  const SOCKET gone = NewSocket();
  ASSERT_EQ(closesocket(gone), 0);
  sockaddr_in address = LoopbackAddress(9);
  int length = sizeof address;
  int value = 1;
  int value_length = sizeof value;
  char byte = 0;
  WSABUF buffer{1, &byte};
  DWORD count = 0;
  DWORD flags = 0;
  WSAOVERLAPPED record{};
  WSANETWORKEVENTS notes;
  auto* name = reinterpret_cast<sockaddr*>(&address);
  const int results[] = {
      bind(gone, name, length),
      listen(gone, 1),
      getsockname(gone, name, &length),
      setsockopt(gone, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<char*>(&value), value_length),
      WSAConnect(gone, name, length, nullptr, nullptr, nullptr, nullptr),
      WSAEventSelect(gone, nullptr, 0),
      WSAEnumNetworkEvents(gone, nullptr, &notes),
      WSASend(gone, &buffer, 1, &count, 0, nullptr, nullptr),
      WSARecv(gone, &buffer, 1, &count, &flags, nullptr, nullptr),
      closesocket(gone),
  };
  for (int result : results) {
    EXPECT_EQ(result, SOCKET_ERROR);
  }
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  EXPECT_EQ(WSAAccept(gone, nullptr, nullptr, nullptr, 0), INVALID_SOCKET);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  EXPECT_FALSE(WSAGetOverlappedResult(gone, &record, &count, FALSE, &flags));
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  EXPECT_FALSE(CancelIoEx(reinterpret_cast<HANDLE>(gone), nullptr));
  EXPECT_EQ(WSAGetLastError(), WSA_INVALID_HANDLE);
}

TEST_F(SocketLayerEdges, EveryCallFailsWhileSocketsAreNotStarted) {
  const SOCKET s = NewSocket();
  WSAEVENT event = WSACreateEvent();
  ASSERT_EQ(WSACleanup(), 0);
  char byte = 0;
  WSABUF buffer{1, &byte};
  DWORD count = 0;
  DWORD flags = 0;
  WSANETWORKEVENTS notes;
  const sockaddr_in address = LoopbackAddress(9);
  EXPECT_EQ(NewSocket(), INVALID_SOCKET);
  EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
  const int results[] = {
      bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address),
      WSAEventSelect(s, event, FD_READ),
      WSAEnumNetworkEvents(s, event, &notes),
      WSASend(s, &buffer, 1, &count, 0, nullptr, nullptr),
      WSARecv(s, &buffer, 1, &count, &flags, nullptr, nullptr),
  };
  for (int result : results) {
    EXPECT_EQ(result, SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
  }
  EXPECT_EQ(WSACleanup(), SOCKET_ERROR);  // nothing left to clean up
  WSADATA data;
  ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
  EXPECT_EQ(WSAStartup(MAKEWORD(2, 2), nullptr), WSAEFAULT);
  closesocket(s);
  WSACloseEvent(event);
  EXPECT_TRUE(NothingLeft());
}

TEST_F(SocketLayerEdges, AddressArgumentsAreChecked) {
  const SOCKET s = NewSocket();
  sockaddr_in address = LoopbackAddress(0);
  auto* name = reinterpret_cast<sockaddr*>(&address);
  EXPECT_EQ(bind(s, nullptr, sizeof address), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
  EXPECT_EQ(bind(s, name, sizeof address - 1), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
  address.sin_family = 23;
  EXPECT_EQ(bind(s, name, sizeof address), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEAFNOSUPPORT);
  address.sin_family = AF_INET;
  ASSERT_EQ(bind(s, name, sizeof address), 0);
  EXPECT_EQ(bind(s, name, sizeof address), SOCKET_ERROR);  // bound already
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
  int length = sizeof address - 1;
  EXPECT_EQ(getsockname(s, name, &length), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
  EXPECT_EQ(getsockname(s, name, nullptr), SOCKET_ERROR);
  closesocket(s);
}

// SO_REUSEADDR is kept until the bind: a port still held by a connection in TIME_WAIT (made by
// a listener that asked for reuse) can be bound again only by a socket that asked for it too.
TEST_F(SocketLayerEdges, AddressReuseAskedBeforeTheBindTakesEffect) {
  const int on = 1;
  const char* value = reinterpret_cast<const char*>(&on);
  const SOCKET listener = NewSocket();
  sockaddr_in address = LoopbackAddress(0);
  auto* name = reinterpret_cast<sockaddr*>(&address);
  int length = sizeof address;
  ASSERT_EQ(setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, value, sizeof on), 0);
  ASSERT_EQ(bind(listener, name, length), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  ASSERT_EQ(getsockname(listener, name, &length), 0);
  const SOCKET client = NewSocket();
  ASSERT_EQ(WSAConnect(client, name, length, nullptr, nullptr, nullptr, nullptr), 0);
  const SOCKET accepted = WSAAccept(listener, nullptr, nullptr, nullptr, 0);
  ASSERT_NE(accepted, INVALID_SOCKET);
  closesocket(accepted);  // closed first: its end of the connection stays in TIME_WAIT
  closesocket(client);
  closesocket(listener);
  for (const bool reuse : {false, true}) {
    const SOCKET again = NewSocket();
    if (reuse) {
      ASSERT_EQ(setsockopt(again, SOL_SOCKET, SO_REUSEADDR, value, sizeof on), 0);
    }
    EXPECT_EQ(bind(again, name, length), reuse ? 0 : SOCKET_ERROR) << "reuse " << reuse;
    if (!reuse) {
      EXPECT_EQ(WSAGetLastError(), WSAEADDRINUSE);
    }
    closesocket(again);
  }
}

TEST_F(SocketLayerEdges, OnlyAddressReuseIsOffered) {
  const SOCKET s = NewSocket();
  const int on = 1;
  const char* value = reinterpret_cast<const char*>(&on);
  const char one_byte = 1;
  EXPECT_EQ(setsockopt(s, SOL_SOCKET, SO_REUSEADDR, value, sizeof on), 0);
  EXPECT_EQ(setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one_byte, 1), 0);  // a BOOL byte will do
  const struct {
    int level, name;
    const char* value;
    int length;
    int error;
  } refused[] = {
      {SOL_SOCKET, SO_REUSEADDR, value, 0, WSAEFAULT},
      {SOL_SOCKET, SO_REUSEADDR, nullptr, sizeof on, WSAEFAULT},
      {SOL_SOCKET, SO_SNDBUF, value, sizeof on, WSAENOPROTOOPT},
      {SOL_SOCKET, 0x1234, value, sizeof on, WSAENOPROTOOPT},
      {IPPROTO_TCP, SO_REUSEADDR, value, sizeof on, WSAENOPROTOOPT},
  };
  for (const auto& c : refused) {
    EXPECT_EQ(setsockopt(s, c.level, c.name, c.value, c.length), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), c.error);
  }
  closesocket(s);
}

TEST_F(SocketLayerEdges, ConnectAndListenFollowTheSocketsState) {
  LoopbackPeer peer;
  RawClient client;
  sockaddr_in address = LoopbackAddress(peer.port());
  auto* name = reinterpret_cast<const sockaddr*>(&address);
  // Started but not yet seen to finish: a second attempt is refused as under way.
  ASSERT_EQ(client.StartConnect(peer.port()), WSAEWOULDBLOCK);
  EXPECT_EQ(WSAConnect(client.socket(), name, sizeof address, nullptr, nullptr, nullptr, nullptr),
            SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEALREADY);
  EXPECT_EQ(listen(client.socket(), 1), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEISCONN);
  EXPECT_NE(NextEvents(client.socket(), client.connect_event(), 5000), 0);
  EXPECT_EQ(WSAConnect(client.socket(), name, sizeof address, nullptr, nullptr, nullptr, nullptr),
            SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEISCONN);
  EXPECT_EQ(WSAConnect(client.socket(), nullptr, 0, nullptr, nullptr, nullptr, nullptr),
            SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEFAULT);

  const SOCKET listener = NewSocket();
  sockaddr_in any = LoopbackAddress(0);
  ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&any), sizeof any), 0);
  ASSERT_EQ(listen(listener, -5), 0);  // a negative backlog is taken as the least
  EXPECT_EQ(WSAConnect(listener, name, sizeof address, nullptr, nullptr, nullptr, nullptr),
            SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
  closesocket(listener);
}

int AcceptCondition(LPWSABUF, LPWSABUF, LPQOS, LPQOS, LPWSABUF, LPWSABUF, GROUP*, DWORD_PTR) {
  return 0;
}

TEST_F(SocketLayerEdges, AcceptChecksItsArgumentsAndWaitsInBlockingMode) {
  const SOCKET listener = NewSocket();
  sockaddr_in address = LoopbackAddress(0);
  ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(WSAAccept(listener, nullptr, nullptr, nullptr, 0), INVALID_SOCKET);
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);  // not listening
  ASSERT_EQ(listen(listener, 4), 0);
  int length = sizeof address;
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const int port = ntohs(address.sin_port);
  EXPECT_EQ(WSAAccept(listener, nullptr, nullptr, AcceptCondition, 0), INVALID_SOCKET);
  EXPECT_EQ(WSAGetLastError(), WSAEOPNOTSUPP);
  length = 4;
  EXPECT_EQ(WSAAccept(listener, reinterpret_cast<sockaddr*>(&address), &length, nullptr, 0),
            INVALID_SOCKET);
  EXPECT_EQ(WSAGetLastError(), WSAEFAULT);

  // Never selected: the accept waits for the connection that comes a moment later.
  std::thread late_client([port] {
    std::this_thread::sleep_for(50ms);
    const SOCKET s = BlockingClient(port);
    EXPECT_NE(s, INVALID_SOCKET);
    std::this_thread::sleep_for(100ms);
    closesocket(s);
  });
  sockaddr_in peer{};
  length = sizeof peer;
  const SOCKET accepted =
      WSAAccept(listener, reinterpret_cast<sockaddr*>(&peer), &length, nullptr, 0);
  late_client.join();
  ASSERT_NE(accepted, INVALID_SOCKET);
  EXPECT_EQ(peer.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
  closesocket(accepted);

  // Selected (non-blocking) with nothing waiting: would block.
  WSAEVENT event = WSACreateEvent();
  ASSERT_EQ(WSAEventSelect(listener, event, FD_ACCEPT), 0);
  EXPECT_EQ(WSAAccept(listener, nullptr, nullptr, nullptr, 0), INVALID_SOCKET);
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  closesocket(listener);
  WSACloseEvent(event);
  EXPECT_TRUE(NothingLeft());
}

TEST_F(SocketLayerEdges, BlockingSocketsSendAndReceiveByWaiting) {
  PeerScript script;
  script.reply = {'o', 'k'};
  script.reply_after = 4;  // answers once the whole request is in
  LoopbackPeer peer(script);
  {
    const int closed_port = LoopbackPeer::UnusedPort();
    const SOCKET s = NewSocket();
    const sockaddr_in address = LoopbackAddress(closed_port);
    EXPECT_EQ(WSAConnect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address, nullptr,
                         nullptr, nullptr, nullptr),
              SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);
    closesocket(s);
  }
  const SOCKET s = BlockingClient(peer.port());
  ASSERT_NE(s, INVALID_SOCKET);
  // The answer comes only after the request: the receive waits for it.
  std::thread sender([s] {
    std::this_thread::sleep_for(50ms);
    char request[] = {'p', 'i', 'n', 'g'};
    WSABUF buffer{sizeof request, request};
    DWORD sent = 0;
    EXPECT_EQ(WSASend(s, &buffer, 1, &sent, 0, nullptr, nullptr), 0);
    EXPECT_EQ(sent, 4u);
  });
  char answer[2] = {};
  WSABUF buffer{sizeof answer, answer};
  DWORD received = 0;
  DWORD flags = 0;
  EXPECT_EQ(WSARecv(s, &buffer, 1, &received, &flags, nullptr, nullptr), 0);
  sender.join();
  EXPECT_EQ(received, 2u);
  EXPECT_EQ(answer[0], 'o');
  closesocket(s);
}

TEST_F(SocketLayerEdges, BlockingSendWaitsForRoomUntilAllIsSent) {
  PeerScript script;
  script.keep_bytes = false;
  LoopbackPeer peer(script);
  const SOCKET s = BlockingClient(peer.port());
  ASSERT_NE(s, INVALID_SOCKET);
  std::vector<char> bytes(32 * 1024 * 1024, 'b');  // more than the socket buffers hold
  WSABUF buffer{static_cast<ULONG>(bytes.size()), bytes.data()};
  DWORD sent = 0;
  EXPECT_EQ(WSASend(s, &buffer, 1, &sent, 0, nullptr, nullptr), 0);
  EXPECT_EQ(sent, bytes.size());
  closesocket(s);
  ASSERT_TRUE(peer.WaitForFinished(1, 10s));
  EXPECT_EQ(peer.TotalBytes(), bytes.size());
}

// Closing a socket from another thread ends a blocking call on it with WSAEINTR, as on
// Windows, rather than leaving the thread asleep for ever.
TEST_F(SocketLayerEdges, ClosingTheSocketEndsABlockingCallOnIt) {
  PeerScript script;
  script.action = PeerAction::kNeverRead;
  script.receive_buffer = 4096;
  LoopbackPeer peer(script);
  std::vector<char> bytes(32 * 1024 * 1024, 'x');
  enum class Blocked { kAccept, kReceive, kSend };
  for (const Blocked call : {Blocked::kAccept, Blocked::kReceive, Blocked::kSend}) {
    SCOPED_TRACE(static_cast<int>(call));
    SOCKET s;
    if (call == Blocked::kAccept) {
      s = NewSocket();
      sockaddr_in address = LoopbackAddress(0);
      ASSERT_EQ(bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
      ASSERT_EQ(listen(s, 1), 0);
    } else {
      s = BlockingClient(peer.port());
      ASSERT_NE(s, INVALID_SOCKET);
    }
    std::thread closer([s] {
      std::this_thread::sleep_for(100ms);
      closesocket(s);
    });
    char byte = 0;
    WSABUF one{1, &byte};
    WSABUF big{static_cast<ULONG>(bytes.size()), bytes.data()};
    DWORD count = 0;
    DWORD flags = 0;
    std::chrono::milliseconds elapsed;
    const bool failed = Timed(
        [&] {
          switch (call) {
            case Blocked::kAccept:
              return WSAAccept(s, nullptr, nullptr, nullptr, 0) == INVALID_SOCKET;
            case Blocked::kReceive:
              return WSARecv(s, &one, 1, &count, &flags, nullptr, nullptr) == SOCKET_ERROR;
            case Blocked::kSend:
              break;
          }
          return WSASend(s, &big, 1, &count, 0, nullptr, nullptr) == SOCKET_ERROR;
        },
        &elapsed);
    const int error = WSAGetLastError();
    closer.join();
    EXPECT_TRUE(failed);
    EXPECT_EQ(error, WSAEINTR);
    EXPECT_LT(elapsed, 5s);
  }
}

// A socket closed after a blocking call released the lock but before it reached poll(): the
// descriptor's number must not be free for a new descriptor meanwhile, or the call would sleep
// on that one for ever. Here the number, if free, is taken at once by a pipe that never
// becomes readable.
TEST_F(SocketLayerEdges, SocketClosedJustBeforeTheBlockedCallPollsStillEndsIt) {
  {  // the peer goes before the count of descriptors left
    PeerScript script;
    script.action = PeerAction::kNeverRead;
    LoopbackPeer peer(script);
    const SOCKET s = BlockingClient(peer.port());
    ASSERT_NE(s, INVALID_SOCKET);
    const int fd = DescriptorOf(s);
    ASSERT_GE(fd, 0);
    faults::Fault hold;
    hold.call = faults::Call::kOutsideLock;
    hold.delay = 300ms;
    faults::ScopedPlan plan({hold});
    std::promise<std::pair<bool, int>> outcome;
    std::thread receiver([&] {
      char byte = 0;
      WSABUF one{1, &byte};
      DWORD count = 0;
      DWORD flags = 0;
      const bool failed = WSARecv(s, &one, 1, &count, &flags, nullptr, nullptr) == SOCKET_ERROR;
      outcome.set_value({failed, WSAGetLastError()});
    });
    // The receiver is held before its poll() once the hook has seen it.
    while (faults::CallCount(faults::Call::kOutsideLock) == 0) std::this_thread::sleep_for(1ms);
    ASSERT_EQ(closesocket(s), 0);
    int never_ready[2];
    ASSERT_EQ(::pipe(never_ready), 0);
    const bool number_was_free = ::fcntl(fd, F_GETFD) == -1 && errno == EBADF;
    if (number_was_free) ::dup2(never_ready[0], fd);
    std::future<std::pair<bool, int>> result = outcome.get_future();
    const bool ended = result.wait_for(5s) == std::future_status::ready;
    if (!ended) (void)::write(never_ready[1], "x", 1);  // lets the receiver go after all
    receiver.join();
    const std::pair<bool, int> got = result.get();
    if (number_was_free) ::close(fd);
    ::close(never_ready[0]);
    ::close(never_ready[1]);
    EXPECT_FALSE(number_was_free);
    EXPECT_TRUE(ended);
    EXPECT_TRUE(got.first);
    EXPECT_EQ(got.second, WSAEINTR);
  }
  EXPECT_TRUE(NothingLeft());
}

// connect() and sendmsg() run without the registry's lock: meanwhile another call of the same
// kind on the socket is refused, and a close ends the first with WSAEINTR, leaking nothing.
TEST_F(SocketLayerEdges, CallsMadeWithoutTheLockRefuseASecondAndEndWithAClose) {
  for (const bool sending : {false, true}) {
    {  // the peer goes before the count of descriptors left
      LoopbackPeer peer(PeerScript{});
      const sockaddr_in address = LoopbackAddress(peer.port());
      const SOCKET s = sending ? BlockingClient(peer.port()) : NewSocket();
      ASSERT_NE(s, INVALID_SOCKET);
      char byte = 'x';
      WSABUF one{1, &byte};
      DWORD count = 0;
      auto call = [&] {
        return sending ? WSASend(s, &one, 1, &count, 0, nullptr, nullptr)
                       : WSAConnect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address,
                                    nullptr, nullptr, nullptr, nullptr);
      };
      faults::Fault hold;
      hold.call = faults::Call::kOutsideLock;
      hold.delay = 300ms;
      faults::ScopedPlan plan({hold});
      std::pair<int, int> held{0, 0};
      std::thread caller([&] { held = {call(), WSAGetLastError()}; });
      while (faults::CallCount(faults::Call::kOutsideLock) == 0) std::this_thread::sleep_for(1ms);
      EXPECT_EQ(call(), SOCKET_ERROR);
      EXPECT_EQ(WSAGetLastError(), sending ? WSAEINPROGRESS : WSAEALREADY);
      EXPECT_EQ(closesocket(s), 0);
      caller.join();
      EXPECT_EQ(held, std::make_pair(SOCKET_ERROR, WSAEINTR)) << "sending " << sending;
    }
    EXPECT_TRUE(NothingLeft());
  }
}

TEST_F(SocketLayerEdges, NonBlockingTransfersWithoutRecordsSayWouldBlock) {
  PeerScript script;
  script.action = PeerAction::kNeverRead;
  script.receive_buffer = 4096;
  LoopbackPeer peer(script);
  RawClient client;
  ASSERT_TRUE(client.Connect(peer.port()));
  char byte = 0;
  WSABUF one{1, &byte};
  DWORD count = 99;
  DWORD flags = 0;
  EXPECT_EQ(WSARecv(client.socket(), &one, 1, &count, &flags, nullptr, nullptr), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  // A send larger than the room there is moves what fits and says how much.
  std::vector<char> bytes(32 * 1024 * 1024, 'x');
  WSABUF big{static_cast<ULONG>(bytes.size()), bytes.data()};
  count = 0;
  ASSERT_EQ(WSASend(client.socket(), &big, 1, &count, 0, nullptr, nullptr), 0);
  EXPECT_GT(count, 0u);
  EXPECT_LT(count, bytes.size());
  EXPECT_EQ(WSASend(client.socket(), &big, 1, &count, 0, nullptr, nullptr), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
}

TEST_F(SocketLayerEdges, TransferArgumentsAreChecked) {
  PeerScript script;
  script.action = PeerAction::kNeverRead;
  script.receive_buffer = 4096;
  LoopbackPeer peer(script);
  RawClient client;
  ASSERT_TRUE(client.Connect(peer.port()));
  const SOCKET s = client.socket();
  char byte = 0;
  WSABUF one{1, &byte};
  DWORD count = 0;
  DWORD flags = 0;
  auto routine = [](DWORD, DWORD, LPWSAOVERLAPPED, DWORD) {};
  EXPECT_EQ(WSASend(s, &one, 1, &count, 1, nullptr, nullptr), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEOPNOTSUPP);
  EXPECT_EQ(WSASend(s, &one, 1, &count, 0, nullptr, routine), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEOPNOTSUPP);
  EXPECT_EQ(WSASend(s, nullptr, 1, &count, 0, nullptr, nullptr), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
  EXPECT_EQ(WSARecv(s, &one, 1, &count, nullptr, nullptr, nullptr), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
  flags = 1;  // out-of-band data is not offered
  EXPECT_EQ(WSARecv(s, &one, 1, &count, &flags, nullptr, nullptr), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEOPNOTSUPP);
  flags = 0;
  EXPECT_EQ(WSARecv(s, &one, 1, &count, &flags, nullptr, routine), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEOPNOTSUPP);

  // One overlapped transfer each way at a time.
  WSAOVERLAPPED receiving{};
  receiving.hEvent = WSACreateEvent();
  ASSERT_EQ(WSARecv(s, &one, 1, &count, &flags, &receiving, nullptr), SOCKET_ERROR);
  ASSERT_EQ(WSAGetLastError(), WSA_IO_PENDING);
  EXPECT_EQ(WSARecv(s, &one, 1, &count, &flags, &receiving, nullptr), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEINPROGRESS);
  std::vector<char> bytes(32 * 1024 * 1024, 'x');
  WSABUF big{static_cast<ULONG>(bytes.size()), bytes.data()};
  WSAOVERLAPPED sending{};
  sending.hEvent = WSACreateEvent();
  ASSERT_EQ(WSASend(s, &big, 1, &count, 0, &sending, nullptr), SOCKET_ERROR);
  ASSERT_EQ(WSAGetLastError(), WSA_IO_PENDING);
  EXPECT_EQ(WSASend(s, &big, 1, &count, 0, &sending, nullptr), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEINPROGRESS);
  EXPECT_FALSE(WSAGetOverlappedResult(s, nullptr, &count, FALSE, &flags));
  EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
  EXPECT_TRUE(CancelIoEx(reinterpret_cast<HANDLE>(s), nullptr));  // both at once
  EXPECT_FALSE(WSAGetOverlappedResult(s, &sending, &count, TRUE, &flags));
  EXPECT_EQ(WSAGetLastError(), WSA_OPERATION_ABORTED);
  EXPECT_FALSE(WSAGetOverlappedResult(s, &receiving, &count, TRUE, &flags));
  EXPECT_EQ(WSAGetLastError(), WSA_OPERATION_ABORTED);
  EXPECT_FALSE(CancelIoEx(reinterpret_cast<HANDLE>(s), nullptr));
  EXPECT_EQ(WSAGetLastError(), ERROR_NOT_FOUND);
  WSACloseEvent(receiving.hEvent);
  WSACloseEvent(sending.hEvent);

  const SOCKET unconnected = NewSocket();
  EXPECT_EQ(WSASend(unconnected, &one, 1, &count, 0, nullptr, nullptr), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTCONN);
  EXPECT_EQ(WSARecv(unconnected, &one, 1, &count, &flags, nullptr, nullptr), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTCONN);
  closesocket(unconnected);
}

TEST_F(SocketLayerEdges, ShortSendOverSeveralBuffersCompletesWithAllOfThem) {
  LoopbackPeer peer;
  RawClient client;
  ASSERT_TRUE(client.Connect(peer.port()));
  char first[] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
  char second[] = {'i', 'j', 'k'};
  WSABUF buffers[] = {{0, nullptr}, {sizeof first, first}, {sizeof second, second}};
  WSAOVERLAPPED record{};
  record.hEvent = WSACreateEvent();
  DWORD count = 0;
  {
    faults::ScopedPlan plan({ShortTransfer(Call::kWSASend, 5, 0, 1)});
    ASSERT_EQ(WSASend(client.socket(), buffers, 3, &count, 0, &record, nullptr), SOCKET_ERROR);
    ASSERT_EQ(WSAGetLastError(), WSA_IO_PENDING);
  }
  DWORD flags = 0;
  ASSERT_TRUE(WSAGetOverlappedResult(client.socket(), &record, &count, TRUE, &flags));
  EXPECT_EQ(count, 11u);  // never a part: all of it, across the buffers
  closesocket(client.socket());
  ASSERT_TRUE(peer.WaitForFinished(1, 5s));
  const std::vector<unsigned char> got = peer.Connections()[0].bytes;
  EXPECT_EQ(std::string(got.begin(), got.end()), "abcdefghijk");
  WSACloseEvent(record.hEvent);
}

TEST_F(SocketLayerEdges, ReceiveOnAResetConnectionFailsAtOnce) {
  // The peer resets the connection only after the client has seen it made (a reset that
  // arrives before that counts as made-then-closed, tested on its own below).
  NativeResetListener peer;
  ASSERT_TRUE(peer.listening());
  RawClient client;
  ASSERT_TRUE(client.Connect(peer.port()));
  ASSERT_TRUE(peer.AcceptAndReset());
  ASSERT_TRUE(ResetArrives(client.socket(), 5000));
  char into[4];
  WSABUF buffer{sizeof into, into};
  DWORD count = 0;
  DWORD flags = 0;
  WSAOVERLAPPED record{};
  record.hEvent = WSACreateEvent();
  EXPECT_EQ(WSARecv(client.socket(), &buffer, 1, &count, &flags, &record, nullptr), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
  WSACloseEvent(record.hEvent);
}

TEST_F(SocketLayerEdges, SecondListenerOnAPortInUseIsRefused) {
  const SOCKET first = NewSocket();
  const SOCKET second = NewSocket();
  const int on = 1;
  for (SOCKET s : {first, second}) {
    ASSERT_EQ(setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), 4), 0);
  }
  sockaddr_in address = LoopbackAddress(0);
  ASSERT_EQ(bind(first, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  int length = sizeof address;
  ASSERT_EQ(getsockname(first, reinterpret_cast<sockaddr*>(&address), &length), 0);
  ASSERT_EQ(listen(first, 1), 0);
  // Address reuse lets the second bind to the same port, but only one may listen there.
  if (bind(second, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    EXPECT_EQ(listen(second, 1), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEADDRINUSE);
  } else {
    EXPECT_EQ(WSAGetLastError(), WSAEADDRINUSE);
  }
  closesocket(first);
  closesocket(second);
}

TEST_F(SocketLayerEdges, DeferringThePortChoiceNeedsASocket) {
  EXPECT_EQ(platform::DeferClientPortChoice(INVALID_SOCKET), WSAENOTSOCK);
  const SOCKET s = NewSocket();
  EXPECT_EQ(platform::DeferClientPortChoice(s), 0);
  closesocket(s);
}

// With no descriptor left, making a socket or accepting a connection fails with WSAEMFILE and
// takes nothing; the exchange reports it and leaves nothing behind.
TEST_F(SocketLayerEdges, DescriptorsRunningOutAreReportedAndLeakNothing) {
  if (OSTREL_UNDER_SANITIZER) {
    GTEST_SKIP() << "the sanitizer runtimes need descriptors of their own to check memory";
  }
  LoopbackPeer peer;
  const SOCKET listener = NewSocket();
  sockaddr_in address = LoopbackAddress(0);
  ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  int length = sizeof address;
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const SOCKET waiting = BlockingClient(ntohs(address.sin_port));  // queued for the accept
  ASSERT_NE(waiting, INVALID_SOCKET);
  const ResourceCounts before = CurrentResourceCounts();

  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  // A new descriptor takes the lowest free number: below that one none is free.
  const int lowest_free = ::dup(0);
  ASSERT_GE(lowest_free, 0);
  ::close(lowest_free);
  rlimit none = saved;
  none.rlim_cur = static_cast<rlim_t>(lowest_free);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
  const SOCKET made = NewSocket();
  const int make_error = WSAGetLastError();
  const SOCKET accepted = WSAAccept(listener, nullptr, nullptr, nullptr, 0);
  const int accept_error = WSAGetLastError();
  const unsigned char frame[] = {5, 0, 0, 0, 'x'};
  int outcome = 0;
  const bool delivered = SendFramedRequestWithOutcome("127.0.0.1", peer.port(), frame, sizeof frame,
                                                      nullptr, nullptr, &outcome);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);

  EXPECT_EQ(made, INVALID_SOCKET);
  EXPECT_EQ(make_error, WSAEMFILE);
  EXPECT_EQ(accepted, INVALID_SOCKET);
  EXPECT_EQ(accept_error, WSAEMFILE);
  EXPECT_FALSE(delivered);
  EXPECT_EQ(outcome, WSAEMFILE);
  const ResourceCounts after = CurrentResourceCounts();
  EXPECT_EQ(after.descriptors, before.descriptors);
  EXPECT_EQ(after.sockets, before.sockets);
  EXPECT_EQ(after.events, before.events);
  closesocket(waiting);
  closesocket(listener);
}

TEST_F(SocketLayerEdges, SelectionAndEnumerationCheckTheirEvent) {
  const SOCKET s = NewSocket();
  WSAEVENT gone = WSACreateEvent();
  WSACloseEvent(gone);
  EXPECT_EQ(WSAEventSelect(s, gone, FD_READ), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
  EXPECT_EQ(WSAEventSelect(s, gone, 0), 0);  // a selection of nothing needs no event
  WSANETWORKEVENTS notes;
  EXPECT_EQ(WSAEnumNetworkEvents(s, gone, &notes), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
  EXPECT_EQ(WSAEnumNetworkEvents(s, nullptr, nullptr), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
  closesocket(s);
}

TEST_F(SocketLayerEdges, ResetBeforeTheConnectWasSeenCountsAsMadeThenClosed) {
  PeerScript script;
  script.action = PeerAction::kResetAtOnce;
  LoopbackPeer peer(script);
  RawClient client;
  ASSERT_EQ(client.StartConnect(peer.port()), WSAEWOULDBLOCK);
  ASSERT_TRUE(peer.WaitForFinished(1, 5s));
  ASSERT_TRUE(ResetArrives(client.socket(), 5000));  // before the layer looks at the socket
  WSANETWORKEVENTS notes;
  ASSERT_EQ(WSAEventSelect(client.socket(), client.connect_event(), FD_CONNECT | FD_CLOSE), 0);
  const long events = NextEvents(client.socket(), client.connect_event(), 5000, &notes);
  ASSERT_EQ(events & FD_CONNECT, FD_CONNECT);
  EXPECT_EQ(notes.iErrorCode[FD_CONNECT_BIT], 0);
  long later = events;
  if ((later & FD_CLOSE) == 0)
    later = NextEvents(client.socket(), client.connect_event(), 5000, &notes);
  ASSERT_EQ(later & FD_CLOSE, FD_CLOSE);
  EXPECT_EQ(notes.iErrorCode[FD_CLOSE_BIT], WSAECONNABORTED);
}

// A receive started before the peer's end is looked at goes pending; the wait for its result then
// finds the end. `peer_ends` ends the connection from the peer's side and says whether it did.
void ExpectPendingReceiveToEnd(RawClient& client, const std::function<bool()>& peer_ends,
                               bool reset) {
  char into[8];
  WSABUF buffer{sizeof into, into};
  DWORD count = 99;
  DWORD flags = 0;
  WSAOVERLAPPED record{};
  record.hEvent = WSACreateEvent();
  {
    faults::ScopedPlan plan({Inject(Call::kWSARecv, Effect::kWouldBlock)});
    ASSERT_EQ(WSARecv(client.socket(), &buffer, 1, &count, &flags, &record, nullptr), SOCKET_ERROR);
    ASSERT_EQ(WSAGetLastError(), WSA_IO_PENDING);
  }
  ASSERT_TRUE(peer_ends());
  const BOOL done = WSAGetOverlappedResult(client.socket(), &record, &count, TRUE, &flags);
  if (!reset) {
    EXPECT_TRUE(done);
    EXPECT_EQ(count, 0u);  // the end of the stream
  } else {
    EXPECT_FALSE(done);
    EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
  }
  WSACloseEvent(record.hEvent);
}

TEST_F(SocketLayerEdges, PendingReceiveEndsWithTheStream) {
  PeerScript script;
  script.action = PeerAction::kCloseAtOnce;
  LoopbackPeer peer(script);
  RawClient client;
  ASSERT_TRUE(client.Connect(peer.port()));
  ExpectPendingReceiveToEnd(
      client, [&peer] { return peer.WaitForFinished(1, 5s); }, false);
}

TEST_F(SocketLayerEdges, PendingReceiveEndsWithTheReset) {
  // The peer resets only after the client has seen the connection made (a reset that arrives
  // before that counts as made-then-closed).
  NativeResetListener peer;
  ASSERT_TRUE(peer.listening());
  RawClient client;
  ASSERT_TRUE(client.Connect(peer.port()));
  ExpectPendingReceiveToEnd(
      client, [&peer] { return peer.AcceptAndReset(); }, true);
}

void NoOp(int) {}

TEST_F(SocketLayerEdges, SignalDuringAWaitNeitherEndsNorFailsIt) {
  struct sigaction action {};
  action.sa_handler = NoOp;  // no SA_RESTART: poll() comes back with EINTR
  struct sigaction previous {};
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
  PeerScript script;
  script.action = PeerAction::kNeverRead;
  LoopbackPeer peer(script);
  RawClient client;
  ASSERT_TRUE(client.Connect(peer.port()));
  WSAEVENT event = WSACreateEvent();
  ASSERT_EQ(WSAEventSelect(client.socket(), event, FD_READ), 0);
  const pthread_t waiter = pthread_self();
  std::atomic<bool> waiting{true};
  std::thread signaller([&] {
    while (waiting) {
      pthread_kill(waiter, SIGUSR1);
      std::this_thread::sleep_for(20ms);
    }
  });
  std::chrono::milliseconds elapsed;
  const DWORD waited =
      Timed([&] { return WSAWaitForMultipleEvents(1, &event, TRUE, 300, FALSE); }, &elapsed);
  waiting = false;
  signaller.join();
  sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_EQ(waited, WSA_WAIT_TIMEOUT);
  EXPECT_GE(elapsed, 300ms);
  WSACloseEvent(event);
}

TEST_F(SocketLayerEdges, SystemErrorsMapToTheirWindowsSocketsCodes) {
  const struct {
    int errno_value;
    int windows;
  } cases[] = {
      {EINTR, WSAEINTR},
      {EBADF, WSAENOTSOCK},
      {EACCES, WSAEACCES},
      {EPERM, WSAEACCES},
      {EFAULT, WSAEFAULT},
      {EINVAL, WSAEINVAL},
      {ENFILE, WSAEMFILE},
      {EWOULDBLOCK, WSAEWOULDBLOCK},
      {EINPROGRESS, WSAEINPROGRESS},
      {EALREADY, WSAEALREADY},
      {ENOTSOCK, WSAENOTSOCK},
      {EDESTADDRREQ, WSAEDESTADDRREQ},
      {EMSGSIZE, WSAEMSGSIZE},
      {EPROTOTYPE, WSAEPROTOTYPE},
      {ENOPROTOOPT, WSAENOPROTOOPT},
      {EPROTONOSUPPORT, WSAEPROTONOSUPPORT},
      {ESOCKTNOSUPPORT, WSAESOCKTNOSUPPORT},
      {EOPNOTSUPP, WSAEOPNOTSUPP},
      {ENOTSUP, WSAEOPNOTSUPP},
      {EPFNOSUPPORT, WSAEPFNOSUPPORT},
      {EAFNOSUPPORT, WSAEAFNOSUPPORT},
      {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
      {ENETDOWN, WSAENETDOWN},
      {ENETRESET, WSAENETRESET},
      {ENOMEM, WSAENOBUFS},
      {EISCONN, WSAEISCONN},
      {ESHUTDOWN, WSAESHUTDOWN},
      {ETOOMANYREFS, WSAETOOMANYREFS},
      {ELOOP, WSAELOOP},
      {ENAMETOOLONG, WSAENAMETOOLONG},
      {EHOSTDOWN, WSAEHOSTDOWN},
      {EIO, WSASYSCALLFAILURE},  // anything else
  };
  for (const auto& c : cases) {
    EXPECT_EQ(wsa::posix::ErrorFromErrno(c.errno_value), c.windows) << c.errno_value;
  }
}

}  // namespace
}  // namespace ostrel::testing
