// Shared pieces of the transport tests: sockets started per test, and counts of the
// descriptors, events and sockets alive (to find leaks).
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>

#include "net/framed_request.h"
#include "platform/winsock.h"

namespace ostrel::testing {

class SocketsStarted : public ::testing::Test {
 protected:
  void SetUp() override {
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
  }
  void TearDown() override { WSACleanup(); }
};

struct ResourceCounts {
  std::size_t descriptors = 0;  // open descriptors (Windows: handles) of the process
  std::size_t events = 0;       // live event objects of the socket layer (0 where not known)
  std::size_t sockets = 0;      // live sockets of the socket layer (0 where not known)
};

ResourceCounts CurrentResourceCounts();

// The counts once the descriptor count holds still (a peer closes a finished connection a
// moment later); waits at most five seconds.
ResourceCounts SettledResourceCounts();

// A loopback address record for the given port.
sockaddr_in LoopbackAddress(int port);

// net::SendFramedRequest with its outcome read as the library reads it: 0 when it succeeded,
// else the thread's Windows Sockets error at once.
inline bool SendFramedRequestWithOutcome(const char* address, int port, const void* request,
                                         std::uint32_t request_size, unsigned char** reply_block,
                                         std::int32_t* reply_length, int* outcome) {
  const bool delivered =
      net::SendFramedRequest(address, port, request, request_size, reply_block, reply_length);
  *outcome = delivered ? 0 : WSAGetLastError();
  return delivered;
}

}  // namespace ostrel::testing
