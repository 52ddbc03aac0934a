// Overlapped sends and receives: whole completions, pending transfers, cancelling, closing
// with a transfer under way, and no SIGPIPE.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "net/loopback_peer.h"
#include "platform/winsock.h"
#include "socket_test_support.h"

#if !defined(_WIN32)
#include <signal.h>
#endif

namespace ostrel::testing {
namespace {

using namespace std::chrono_literals;

class Overlapped : public SocketsStarted {
 protected:
  void SetUp() override {
    SocketsStarted::SetUp();
    record_ = WSAOVERLAPPED{};
    record_.hEvent = WSACreateEvent();
  }
  void TearDown() override {
    WSACloseEvent(record_.hEvent);
    SocketsStarted::TearDown();
  }

  // Starts an overlapped send of `bytes` (far more than the socket buffers hold).
  int StartSend(SOCKET s, std::vector<char>& bytes) {
    buffer_ = WSABUF{static_cast<ULONG>(bytes.size()), bytes.data()};
    DWORD sent = 0;
    if (WSASend(s, &buffer_, 1, &sent, 0, &record_, nullptr) == 0) {
      return 0;
    }
    return WSAGetLastError();
  }

  WSAOVERLAPPED record_;
  WSABUF buffer_{};
};

TEST_F(Overlapped, SendToAPeerThatNeverReadsStaysPendingUntilCancelled) {
  PeerScript script;
  script.action = PeerAction::kNeverRead;
  script.receive_buffer = 4096;
  LoopbackPeer peer(script);
  RawClient client;
  ASSERT_TRUE(client.Connect(peer.port()));
  std::vector<char> bytes(16 * 1024 * 1024, 'n');
  ASSERT_EQ(StartSend(client.socket(), bytes), WSA_IO_PENDING);
  DWORD transferred = 12345;
  DWORD flags = 0;
  EXPECT_FALSE(WSAGetOverlappedResult(client.socket(), &record_, &transferred, FALSE, &flags));
  EXPECT_EQ(WSAGetLastError(), WSA_IO_INCOMPLETE);
  EXPECT_EQ(transferred, 12345u);
  EXPECT_EQ(WSAWaitForMultipleEvents(1, &record_.hEvent, TRUE, 100, FALSE),
            static_cast<DWORD>(WSA_WAIT_TIMEOUT));
  EXPECT_TRUE(CancelIoEx(reinterpret_cast<HANDLE>(client.socket()), &record_));
  EXPECT_FALSE(WSAGetOverlappedResult(client.socket(), &record_, &transferred, TRUE, &flags));
  EXPECT_EQ(WSAGetLastError(), WSA_OPERATION_ABORTED);
  EXPECT_FALSE(CancelIoEx(reinterpret_cast<HANDLE>(client.socket()), &record_));
}

TEST_F(Overlapped, PendingSendCompletesWithAllItsBytes) {
  PeerScript script;
  script.keep_bytes = false;
  LoopbackPeer peer(script);
  RawClient client;
  ASSERT_TRUE(client.Connect(peer.port()));
  std::vector<char> bytes(16 * 1024 * 1024, 'w');
  const int started = StartSend(client.socket(), bytes);
  ASSERT_TRUE(started == 0 || started == WSA_IO_PENDING) << started;
  DWORD transferred = 0;
  DWORD flags = 0;
  ASSERT_TRUE(WSAGetOverlappedResult(client.socket(), &record_, &transferred, TRUE, &flags));
  EXPECT_EQ(transferred, bytes.size());  // never a part
  EXPECT_EQ(WSAWaitForMultipleEvents(1, &record_.hEvent, TRUE, 0, FALSE), WSA_WAIT_EVENT_0);
  closesocket(client.socket());
  ASSERT_TRUE(peer.WaitForFinished(1, 10s));
  EXPECT_EQ(peer.TotalBytes(), bytes.size());
}

TEST_F(Overlapped, PendingReceiveCompletesWhenBytesArrive) {
  PeerScript script;
  script.reply = {'r', 'e', 'p', 'l', 'y'};
  script.reply_after = 1;
  LoopbackPeer peer(script);
  RawClient client;
  ASSERT_TRUE(client.Connect(peer.port()));
  char into[16];
  WSABUF buffer{sizeof into, into};
  DWORD received = 0;
  DWORD flags = 0;
  ASSERT_EQ(WSARecv(client.socket(), &buffer, 1, &received, &flags, &record_, nullptr),
            SOCKET_ERROR);
  ASSERT_EQ(WSAGetLastError(), WSA_IO_PENDING);
  char ask = '?';
  WSABUF question{1, &ask};
  DWORD sent = 0;
  ASSERT_EQ(WSASend(client.socket(), &question, 1, &sent, 0, nullptr, nullptr), 0);
  ASSERT_EQ(WSAWaitForMultipleEvents(1, &record_.hEvent, TRUE, 5000, FALSE), WSA_WAIT_EVENT_0);
  DWORD transferred = 0;
  ASSERT_TRUE(WSAGetOverlappedResult(client.socket(), &record_, &transferred, FALSE, &flags));
  EXPECT_EQ(std::string(into, transferred), "reply");
}

TEST_F(Overlapped, ClosingTheSocketEndsAPendingReceiveAsAborted) {
  LoopbackPeer peer;  // reads, never answers
  RawClient client;
  ASSERT_TRUE(client.Connect(peer.port()));
  char into[16];
  WSABUF buffer{sizeof into, into};
  DWORD received = 0;
  DWORD flags = 0;
  ASSERT_EQ(WSARecv(client.socket(), &buffer, 1, &received, &flags, &record_, nullptr),
            SOCKET_ERROR);
  ASSERT_EQ(WSAGetLastError(), WSA_IO_PENDING);
  ASSERT_EQ(closesocket(client.socket()), 0);
  EXPECT_EQ(WSAWaitForMultipleEvents(1, &record_.hEvent, TRUE, 5000, FALSE), WSA_WAIT_EVENT_0);
  EXPECT_TRUE(HasOverlappedIoCompleted(&record_));
#if !defined(_WIN32)
  EXPECT_EQ(record_.Internal, static_cast<ULONG_PTR>(WSA_OPERATION_ABORTED));
#endif
  // RawClient's destructor closes the handle again: harmless, it is stale.
}

#if !defined(_WIN32)
volatile sig_atomic_t sigpipe_count = 0;

TEST_F(Overlapped, SendingOnAResetConnectionRaisesNoSigpipe) {
  struct sigaction counting {};
  struct sigaction previous {};
  counting.sa_handler = [](int) { sigpipe_count = sigpipe_count + 1; };
  sigemptyset(&counting.sa_mask);
  ASSERT_EQ(sigaction(SIGPIPE, &counting, &previous), 0);
  PeerScript script;
  script.action = PeerAction::kResetAtOnce;
  LoopbackPeer peer(script);
  RawClient client;
  ASSERT_TRUE(client.Connect(peer.port()));
  WSAEVENT exchange = WSACreateEvent();
  ASSERT_EQ(WSAEventSelect(client.socket(), exchange, FD_CLOSE), 0);
  EXPECT_EQ(NextEvents(client.socket(), exchange, 5000), FD_CLOSE);
  char byte = 'x';
  WSABUF buffer{1, &byte};
  int error = 0;
  for (int i = 0; i < 10 && error == 0; ++i) {
    DWORD sent = 0;
    if (WSASend(client.socket(), &buffer, 1, &sent, 0, &record_, nullptr) != 0) {
      error = WSAGetLastError();
    }
  }
  EXPECT_EQ(error, WSAECONNRESET);
  EXPECT_EQ(sigpipe_count, 0);
  sigaction(SIGPIPE, &previous, nullptr);
  WSACloseEvent(exchange);
}
#endif

}  // namespace
}  // namespace ostrel::testing
