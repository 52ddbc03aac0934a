// Start-up counting, address text, byte order and error codes of the socket layer.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/winsock.h"

#if !defined(_WIN32)
#include <cerrno>

#include "platform/posix/errors.h"
#endif

namespace ostrel::testing {
namespace {

TEST(Startup, SocketCallsFailUntilStartedAndAfterTheLastCleanup) {
  EXPECT_EQ(WSASocketA(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED),
            INVALID_SOCKET);
  EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
  WSADATA data;
  ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
  EXPECT_EQ(data.wVersion, MAKEWORD(2, 2));
  ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
  EXPECT_EQ(WSACleanup(), 0);
  // One start-up is still outstanding.
  const SOCKET s = WSASocketA(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, 0);
  EXPECT_NE(s, INVALID_SOCKET);
  EXPECT_EQ(closesocket(s), 0);
  EXPECT_EQ(WSACleanup(), 0);
  EXPECT_EQ(WSASocketA(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, 0), INVALID_SOCKET);
  EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
  EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
}

TEST(Startup, VersionZeroIsNotSupported) {
  WSADATA data;
  EXPECT_EQ(WSAStartup(MAKEWORD(0, 0), &data), WSAVERNOTSUPPORTED);
}

// Results as Windows gives them (verified there), read as the 32-bit value on a
// little-endian host.
struct AddressCase {
  const char* text;
  std::uint32_t windows;
};

const AddressCase kAddressCases[] = {
    {"1.2.3.4", 0x04030201},
    {"1 2 3 4", 0x01000000},
    {"1.2.3. 4", 0xffffffff},
    {"1.2.3 .4", 0x03000201},
    {"3.4.5.6.7", 0xffffffff},
    {"3.4.5.6  7", 0x06050403},
    {" 3.4.5.6", 0xffffffff},
    {"\t3.4.5.6", 0xffffffff},
    {"3.4.5.6 ", 0x06050403},
    {"3. 4.5.6", 0xffffffff},
    {"3 .4.5.6", 0x03000000},
    {"1.2.3", 0x03000201},
    {".1.2.3", 0xffffffff},
    {"0.0.0.0", 0},
    {"", 0xffffffff},
    {" 0", 0xffffffff},
    {"0xa1a2b3b4 ", 0xb4b3a2a1},
    {".", 0xffffffff},
    {" ", 0},
    {"\t", 0xffffffff},
    {"  ", 0xffffffff},
    {"127.127.127.255", 0xff7f7f7f},
    {"127.127.127.255:123", 0xffffffff},
    {"127.127.127.256", 0xffffffff},
    {"a", 0xffffffff},
    {"1.2.3.0xaA", 0xaa030201},
    {"1.1.1.0x", 0xffffffff},
    {"1.2.3.010", 0x08030201},
    {"1.2.3.00", 0x00030201},
    {"1.2.3.0a", 0xffffffff},
    {"1.1.1.-2", 0xffffffff},
    {"1", 0x01000000},
    {"1.2", 0x02000001},
    {"203569230", 0x4e38220c},
    {"[0.1.2.3]", 0xffffffff},
    {"0x00010203", 0x03020100},
    {"0x2134", 0x34210000},
    {"1234BEEF", 0xffffffff},
    {"017700000001", 0x0100007f},
    {"0777", 0xff010000},
    {"::1", 0xffffffff},
    {"255.255.255.255", 0xffffffff},
    {"0x7f.1", 0x0100007f},
    {"localhost", 0xffffffff},
    {"08", 0xffffffff},
    {"1.256.3", 0xffffffff},
    {"1.2.65536", 0xffffffff},
    {"1.16777216", 0xffffffff},
    {"4294967296", 0xffffffff},
    {"4294967295", 0xffffffff},
};

TEST(InetAddr, FollowsTheWindowsRules) {
  for (const AddressCase& c : kAddressCases) {
    const u_long result = inet_addr(c.text);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&result);
    const std::uint32_t as_little_endian = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) |
                                           (static_cast<std::uint32_t>(bytes[3]) << 24);
    EXPECT_EQ(as_little_endian, c.windows) << "\"" << c.text << "\"";
  }
  EXPECT_EQ(inet_addr(nullptr), INADDR_NONE);
}

TEST(ByteOrder, PortsAndAddressesGoOutBigEndian) {
  const u_short port = htons(0x1234);
  const auto* port_bytes = reinterpret_cast<const unsigned char*>(&port);
  EXPECT_EQ(port_bytes[0], 0x12);
  EXPECT_EQ(port_bytes[1], 0x34);
  const u_long address = htonl(0x7F000001);
  const auto* address_bytes = reinterpret_cast<const unsigned char*>(&address);
  EXPECT_EQ(address_bytes[0], 0x7F);
  EXPECT_EQ(address_bytes[3], 0x01);
  EXPECT_EQ(ntohs(port), 0x1234);
  EXPECT_EQ(ntohl(address), 0x7F000001u);
}

#if !defined(_WIN32)
TEST(ErrorCodes, SystemErrorsBecomeWindowsSocketsCodes) {
  const struct {
    int errno_value;
    int windows;
  } cases[] = {
      {ECONNREFUSED, WSAECONNREFUSED},
      {ECONNRESET, WSAECONNRESET},
      {EPIPE, WSAECONNRESET},
      {ETIMEDOUT, WSAETIMEDOUT},
      {EADDRINUSE, WSAEADDRINUSE},
      {EAGAIN, WSAEWOULDBLOCK},
      {ENETUNREACH, WSAENETUNREACH},
      {EHOSTUNREACH, WSAEHOSTUNREACH},
      {ENOTCONN, WSAENOTCONN},
      {EMFILE, WSAEMFILE},
      {ENOBUFS, WSAENOBUFS},
      {ECONNABORTED, WSAECONNABORTED},
      {0, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(wsa::posix::ErrorFromErrno(c.errno_value), c.windows) << c.errno_value;
  }
}
#endif

}  // namespace
}  // namespace ostrel::testing
