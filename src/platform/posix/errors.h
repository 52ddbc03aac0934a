// errno values as Windows Sockets error codes.
#pragma once

namespace ostrel::wsa::posix {

int ErrorFromErrno(int error);

// Sets the thread's Windows Sockets error and returns SOCKET_ERROR.
int Fail(int error);
// The same with the error that errno names.
int FailFromErrno();

}  // namespace ostrel::wsa::posix
