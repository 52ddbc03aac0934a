// errno values as Windows Sockets error codes.
#pragma once

namespace ostrel::wsa::posix {

int ErrorFromErrno(int error);

// Sets the thread's Windows Sockets error from errno and returns SOCKET_ERROR.
int FailFromErrno();

}  // namespace ostrel::wsa::posix
