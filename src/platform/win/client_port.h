// Windows: let the system choose a client socket's local port at connect time.
//
// Each command binds a fresh socket to port 0 and then connects. A plain bind takes a port from
// the dynamic range at once and, because the library closes first, that port then sits in
// TIME_WAIT; with about 16,000 dynamic ports and TIME_WAIT of up to 240 s a busy host runs out.
// With SO_REUSE_UNICASTPORT (Windows 10 and later) the choice waits for the connect, where a
// port may be shared as long as the connection's four-tuple is unique.
#pragma once

#include "platform/winsock.h"

namespace ostrel::platform {

// SOL_SOCKET option value; older SDK headers do not declare it.
constexpr int kReuseUnicastPortOption = 0x3007;

// Call on a fresh TCP socket before bind(INADDR_ANY, 0). Returns 0, or the Windows Sockets
// error (WSAENOPROTOOPT or WSAEINVAL before Windows 10). A failure is harmless: the bind then
// picks its port at once, as it always did, so callers may ignore the result.
int DeferClientPortChoice(SOCKET socket);

}  // namespace ostrel::platform
