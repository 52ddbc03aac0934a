// A client socket of the socket layer, driven step by step, for the event-rule tests.
#pragma once

#include <gtest/gtest.h>

#include "net/net_test_support.h"
#include "platform/winsock.h"

namespace ostrel::testing {

class RawClient {
 public:
  RawClient() {
    socket_ = WSASocketA(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
    connect_event_ = WSACreateEvent();
  }
  ~RawClient() {
    if (socket_ != INVALID_SOCKET) {
      closesocket(socket_);
    }
    WSACloseEvent(connect_event_);
  }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  SOCKET socket() const { return socket_; }
  WSAEVENT connect_event() const { return connect_event_; }

  // Selects FD_CONNECT and starts connecting: 0 or the error WSAConnect gave (10035 while
  // under way).
  int StartConnect(int port) {
    if (WSAEventSelect(socket_, connect_event_, FD_CONNECT) != 0) {
      return WSAGetLastError();
    }
    const sockaddr_in address = LoopbackAddress(port);
    if (WSAConnect(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address, nullptr,
                   nullptr, nullptr, nullptr) == 0) {
      return 0;
    }
    return WSAGetLastError();
  }

  // Connects as the library does: wait for the connect event, without fetching the events.
  ::testing::AssertionResult Connect(int port) {
    const int started = StartConnect(port);
    if (started != 0 && started != WSAEWOULDBLOCK) {
      return ::testing::AssertionFailure() << "WSAConnect: " << started;
    }
    WSAEVENT event = connect_event_;
    const DWORD waited = WSAWaitForMultipleEvents(1, &event, TRUE, 5000, FALSE);
    if (waited != WSA_WAIT_EVENT_0) {
      return ::testing::AssertionFailure() << "connect wait: " << waited;
    }
    return ::testing::AssertionSuccess();
  }

 private:
  SOCKET socket_;
  WSAEVENT connect_event_;
};

// Waits up to ms for `event` and fetches the socket's events (0 when the wait ran out).
inline long NextEvents(SOCKET s, WSAEVENT event, DWORD ms, WSANETWORKEVENTS* notes = nullptr) {
  WSANETWORKEVENTS local;
  WSANETWORKEVENTS* out = notes != nullptr ? notes : &local;
  if (WSAWaitForMultipleEvents(1, &event, TRUE, ms, FALSE) != WSA_WAIT_EVENT_0) {
    return 0;
  }
  if (WSAEnumNetworkEvents(s, event, out) != 0) {
    return -1;
  }
  return out->lNetworkEvents;
}

}  // namespace ostrel::testing
