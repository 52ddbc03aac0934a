// The client-port option that keeps a busy host from running out of dynamic ports.
#include <gtest/gtest.h>

#include <string>

#include "platform/win/client_port.h"
#include "platform/winsock.h"
#include "windows/under_wine.h"

namespace ostrel::platform {
namespace {

class ClientPort : public ::testing::Test {
 protected:
  void SetUp() override {
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(listener_, INVALID_SOCKET);
    sockaddr_in address = Loopback(0);
    ASSERT_EQ(bind(listener_, Address(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener_, 4), 0);
    int length = sizeof address;
    ASSERT_EQ(getsockname(listener_, Address(&address), &length), 0);
    listen_port_ = ntohs(address.sin_port);
    // Made the way the library makes its sockets.
    client_ = WSASocketA(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
    ASSERT_NE(client_, INVALID_SOCKET);
  }
  void TearDown() override {
    if (client_ != INVALID_SOCKET) closesocket(client_);
    if (listener_ != INVALID_SOCKET) closesocket(listener_);
    WSACleanup();
  }

  static sockaddr_in Loopback(unsigned short port) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
  }
  static sockaddr* Address(sockaddr_in* address) { return reinterpret_cast<sockaddr*>(address); }

  static unsigned short LocalPort(SOCKET socket) {
    sockaddr_in address = {};
    int length = sizeof address;
    EXPECT_EQ(getsockname(socket, Address(&address), &length), 0);
    return ntohs(address.sin_port);
  }

  SOCKET listener_ = INVALID_SOCKET;
  SOCKET client_ = INVALID_SOCKET;
  unsigned short listen_port_ = 0;
};

TEST_F(ClientPort, BindToAnyThenConnectStillDeliversBytes) {
  const int applied = DeferClientPortChoice(client_);
  // Only "not supported here" may come back; the connection path must work either way.
  EXPECT_TRUE(applied == 0 || applied == WSAENOPROTOOPT || applied == WSAEINVAL) << applied;

  sockaddr_in any = {};
  any.sin_family = AF_INET;
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(bind(client_, Address(&any), sizeof any), 0) << WSAGetLastError();
  sockaddr_in target = Loopback(listen_port_);
  ASSERT_EQ(connect(client_, Address(&target), sizeof target), 0) << WSAGetLastError();
  EXPECT_NE(LocalPort(client_), 0) << "a connected socket has its port";
  ASSERT_EQ(send(client_, "frame", 5, 0), 5);
  closesocket(client_);
  client_ = INVALID_SOCKET;

  SOCKET accepted = accept(listener_, nullptr, nullptr);
  ASSERT_NE(accepted, INVALID_SOCKET);
  const DWORD limit_ms = 5000;
  setsockopt(accepted, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit_ms),
             sizeof limit_ms);
  std::string received;
  char buffer[16];
  int got;
  while ((got = recv(accepted, buffer, sizeof buffer, 0)) > 0) received.append(buffer, got);
  closesocket(accepted);
  EXPECT_EQ(got, 0) << "ended by the client's close, not an error or the time limit";
  EXPECT_EQ(received, "frame");
}

TEST_F(ClientPort, OptionStaysSetOnTheSocket) {
  const int applied = DeferClientPortChoice(client_);
  if (applied != 0) {
    GTEST_SKIP() << "SO_REUSE_UNICASTPORT refused with " << applied
                 << ": the system predates Windows 10";
  }
  DWORD value = 0;
  int length = sizeof value;
  const int read = getsockopt(client_, SOL_SOCKET, kReuseUnicastPortOption,
                              reinterpret_cast<char*>(&value), &length);
  if (read != 0 && WSAGetLastError() == WSAENOPROTOOPT && testenv::RunningUnderWine()) {
    GTEST_SKIP() << "Wine " << testenv::WineVersion()
                 << " accepts SO_REUSE_UNICASTPORT but does not keep it (getsockopt fails with "
                    "WSAENOPROTOOPT, bind picks its port at once)";
  }
  ASSERT_EQ(read, 0) << WSAGetLastError();
  EXPECT_EQ(value, 1u);
}

}  // namespace
}  // namespace ostrel::platform
