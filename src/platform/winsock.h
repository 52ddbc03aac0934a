// The Windows Sockets 2 subset the library calls, under its Windows names.
//
// On Windows this is the real <winsock2.h>. Elsewhere the same names, types and constants are
// declared in ostrel::wsa and implemented over POSIX sockets in platform/posix/, with the
// Windows behaviour the transport relies on. Code inside namespace ostrel sees either set
// under the same unqualified names.
#pragma once

#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#else

#include <cstdint>

namespace ostrel::wsa {

using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using BOOL = int;

constexpr int WSADESCRIPTION_LEN = 256;
constexpr int WSASYS_STATUS_LEN = 128;

struct WSADATA {
  WORD wVersion;
  WORD wHighVersion;
  unsigned short iMaxSockets;
  unsigned short iMaxUdpDg;
  char* lpVendorInfo;
  char szDescription[WSADESCRIPTION_LEN + 1];
  char szSystemStatus[WSASYS_STATUS_LEN + 1];
};
using LPWSADATA = WSADATA*;

constexpr WORD MAKEWORD(unsigned low, unsigned high) {
  return static_cast<WORD>((low & 0xFF) | ((high & 0xFF) << 8));
}

// Error codes (the Windows values).
constexpr int WSAEINVAL = 10022;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;

int WSAStartup(WORD version_requested, LPWSADATA data);
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int error);

}  // namespace ostrel::wsa

namespace ostrel {
using namespace ostrel::wsa;  // NOLINT: the Windows names, unqualified, as on Windows
}  // namespace ostrel

#endif
