// One framed request to a wall controller over a connection opened for it alone, with an
// optional length-prefixed reply read on the same connection.
#pragma once

#include <cstdint>

namespace ostrel::net {

// Connects to the dotted IPv4 address and port (host byte order, low 16 bits used) within
// 5000 ms, sends every request byte, and when reply_length is given reads one reply frame (a
// 32-bit little-endian total length that counts itself, then the body), then closes.
// True when all of that succeeded; a reply length of 0 also succeeds and writes neither
// reference. On success with a reply, *reply_block receives a block of *reply_length bytes that
// holds the whole frame (length field included); release it with ReleaseReplyBlock.
// reply_block/reply_length may be null (reply_length given requires reply_block). On false, the
// thread's Windows Sockets error (WSAGetLastError, read before any other socket call) is the
// code that explains the failure (10061 refused, 10060 timed out, 10054 reset, 10049 bad
// address text, 10093 sockets not started, 10004 the socket closed under way by the last
// clean-up, 10040 reply length out of range, 10055 no memory or no free local port, ...); it is
// set after the socket and its events are released, so their clean-up cannot change it.
bool SendFramedRequest(const char* address, int port, const void* request,
                       std::uint32_t request_size, unsigned char** reply_block,
                       std::int32_t* reply_length);

void ReleaseReplyBlock(unsigned char* block);

// The steps of an exchange, for tracing: value is the byte count for kSent and the outcome for
// kClosed, else 0. The observer runs on the sending thread; null (the default) for none.
enum class ExchangeStep { kConnectStarted, kConnected, kSent, kClosed };
using ExchangeObserver = void (*)(ExchangeStep step, const char* address, int port, long value);
void SetExchangeObserver(ExchangeObserver observer);

}  // namespace ostrel::net
