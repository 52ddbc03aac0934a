// The transport's time limits and size bounds.
#pragma once

#include <cstdint>

namespace ostrel::net {

// How long a connection attempt may take.
constexpr std::uint32_t kConnectLimitMs = 5000;
// How long a transfer loop waits for the next network-event notification.
constexpr std::uint32_t kNotificationWaitMs = 2000;
// How long an overlapped send or receive that went pending may take to complete; then it is
// cancelled and the transfer fails. A peer that accepts and never reads would otherwise hold
// the caller for ever.
constexpr std::uint32_t kPendingTransferLimitMs = 2000;
// The largest reply frame accepted (length field included). Replies to commands are a few
// hundred bytes; anything near this is a broken or hostile peer, not a reply.
constexpr std::uint32_t kMaxReplyLength = 1u << 20;

}  // namespace ostrel::net
