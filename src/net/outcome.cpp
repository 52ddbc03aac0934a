#include "net/outcome.h"

#include <climits>
#include <cstring>

#include "ostrel/ostrel.h"
#include "platform/winsock.h"

namespace ostrel::net {
namespace {

// The header's list is the one source: a code is listed exactly when it has words of its own.
bool IsListed(int code) {
  return std::strcmp(Ostrel_OutcomeText(code), Ostrel_OutcomeText(INT_MIN)) != 0;
}

}  // namespace

int ListedOutcome(int error) {
  if (IsListed(error)) {
    return error;
  }
  switch (error) {
    case WSAEADDRINUSE:  // no local port for the connection
      return OSTREL_E_NO_BUFFERS;
    case WSAEHOSTDOWN:
      return OSTREL_E_HOST_UNREACHABLE;
    case WSAENETRESET:
    case WSAENOTCONN:
    case WSAESHUTDOWN:
      return OSTREL_E_RESET;  // the connection is gone
    case WSAENOTSOCK:
    case WSA_OPERATION_ABORTED:
      return OSTREL_E_FINALIZED;  // the socket was closed under the command
    default:
      // A failure the socket layer should not give (no IPv4 TCP, a system call that failed):
      // to a host the network is as good as down.
      return OSTREL_E_NET_DOWN;
  }
}

}  // namespace ostrel::net
