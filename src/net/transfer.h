// The event-driven transfer loops: move an exact number of bytes through a connected socket's
// overlapped sends or receives, waiting for network-event notifications on one event.
//
// Both return true exactly when all `count` bytes moved. On false the thread's Windows Sockets
// error says why: WSAETIMEDOUT when a wait for a notification or a pending transfer ran out,
// WSAECONNRESET (or the code FD_CLOSE carried) when the peer closed first, else the error of
// the call that failed.
#pragma once

#include <cstdint>

#include "net/overlapped_socket.h"

namespace ostrel::net {

// The caller selects FD_WRITE | FD_CLOSE on `event` first.
bool SendAll(OverlappedSocket& socket, WSAEVENT event, const void* data, std::uint32_t count);
// The caller selects FD_READ | FD_CLOSE on `event` first.
bool ReceiveAll(OverlappedSocket& socket, WSAEVENT event, void* data, std::uint32_t count);

}  // namespace ostrel::net
