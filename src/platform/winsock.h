// The Windows Sockets 2 subset the library calls, under its Windows names.
//
// On Windows this is the real <winsock2.h>. Elsewhere the same names, types and constants are
// declared in ostrel::wsa and implemented over POSIX sockets in platform/posix/, with the
// Windows behaviour the transport relies on. Code inside namespace ostrel sees either set
// under the same unqualified names.
//
// On POSIX, include this header before any system socket header, or after
// platform/posix/system.h: the system headers define some of these names as macros.
#pragma once

#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#else

#include <cstddef>
#include <cstdint>

// Names that the system socket headers define as macros; here they are Windows constants.
#undef AF_INET
#undef SOCK_STREAM
#undef IPPROTO_TCP
#undef IPPROTO_IP
#undef SOL_SOCKET
#undef SO_REUSEADDR
#undef SO_LINGER
#undef SO_RCVBUF
#undef SO_SNDBUF
#undef SO_ERROR
#undef TCP_NODELAY
#undef SOMAXCONN
#undef INADDR_ANY
#undef INADDR_NONE
#undef INADDR_LOOPBACK
#undef MSG_PEEK
#undef htons
#undef ntohs
#undef htonl
#undef ntohl

namespace ostrel::wsa {

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using BOOL = int;
using INT = int;
using ULONG = std::uint32_t;
using CHAR = char;
using u_char = std::uint8_t;
using u_short = std::uint16_t;
using u_int = unsigned int;
using u_long = std::uint32_t;  // 32 bits, as on Windows
using ULONG_PTR = std::uintptr_t;
using DWORD_PTR = std::uintptr_t;
using HANDLE = void*;
using WSAEVENT = HANDLE;
using SOCKET = std::uintptr_t;
using GROUP = unsigned int;
using LPDWORD = DWORD*;
using LPINT = int*;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

constexpr SOCKET INVALID_SOCKET = ~SOCKET{0};
constexpr int SOCKET_ERROR = -1;
constexpr WSAEVENT WSA_INVALID_EVENT = nullptr;

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

// Addresses. Same layout as Windows: 16-bit family, port and address in network byte order.
struct in_addr {
  u_long s_addr;
};
struct sockaddr {
  u_short sa_family;
  char sa_data[14];
};
struct sockaddr_in {
  short sin_family;
  u_short sin_port;
  in_addr sin_addr;
  char sin_zero[8];
};
using SOCKADDR = sockaddr;
using SOCKADDR_IN = sockaddr_in;
using LPSOCKADDR = sockaddr*;

struct linger {
  u_short l_onoff;
  u_short l_linger;
};

constexpr int AF_INET = 2;
constexpr int SOCK_STREAM = 1;
constexpr int IPPROTO_IP = 0;
constexpr int IPPROTO_TCP = 6;
constexpr int SOL_SOCKET = 0xFFFF;
constexpr int SO_REUSEADDR = 0x0004;
constexpr int SO_LINGER = 0x0080;
constexpr int SO_SNDBUF = 0x1001;
constexpr int SO_RCVBUF = 0x1002;
constexpr int SO_ERROR = 0x1007;
constexpr int TCP_NODELAY = 0x0001;
constexpr int SOMAXCONN = 0x7FFFFFFF;
constexpr int MSG_PEEK = 0x2;
constexpr u_long INADDR_ANY = 0x00000000;
constexpr u_long INADDR_NONE = 0xFFFFFFFF;
constexpr u_long INADDR_LOOPBACK = 0x7F000001;
constexpr DWORD WSA_FLAG_OVERLAPPED = 0x01;

// Byte order (Windows takes and gives 16 and 32-bit values).
constexpr u_short htons(u_short value) {
  return static_cast<u_short>(((value & 0xFFu) << 8) | ((value >> 8) & 0xFFu));
}
constexpr u_short ntohs(u_short value) { return htons(value); }
constexpr u_long htonl(u_long value) {
  return ((value & 0xFFu) << 24) | ((value & 0xFF00u) << 8) | ((value >> 8) & 0xFF00u) |
         ((value >> 24) & 0xFFu);
}
constexpr u_long ntohl(u_long value) { return htonl(value); }

// Buffers and overlapped records.
struct WSABUF {
  ULONG len;
  CHAR* buf;
};
using LPWSABUF = WSABUF*;

// Internal holds the status (STATUS_PENDING while under way, else 0 or a Windows Sockets
// error code), InternalHigh the byte count, as the Windows macros read them.
struct WSAOVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  DWORD Offset;
  DWORD OffsetHigh;
  WSAEVENT hEvent;
};
using LPWSAOVERLAPPED = WSAOVERLAPPED*;
using OVERLAPPED = WSAOVERLAPPED;
using LPOVERLAPPED = WSAOVERLAPPED*;
using LPWSAOVERLAPPED_COMPLETION_ROUTINE = void (*)(DWORD error, DWORD transferred,
                                                    LPWSAOVERLAPPED overlapped, DWORD flags);

constexpr DWORD STATUS_PENDING = 0x00000103;
// Read atomically, as the status may be written by another thread: the last WSACleanup
// completes every transfer still under way.
inline bool HasOverlappedIoCompleted(const WSAOVERLAPPED* overlapped) {
  return static_cast<DWORD>(__atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE)) !=
         STATUS_PENDING;
}

// Opaque records the library only ever passes as null.
struct WSAPROTOCOL_INFOA;
using LPWSAPROTOCOL_INFOA = WSAPROTOCOL_INFOA*;
struct QOS;
using LPQOS = QOS*;
using LPCONDITIONPROC = int (*)(LPWSABUF caller_id, LPWSABUF caller_data, LPQOS sqos, LPQOS gqos,
                                LPWSABUF callee_id, LPWSABUF callee_data, GROUP* group,
                                DWORD_PTR callback_data);

// Network events.
constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_OOB = 0x04;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;
constexpr int FD_READ_BIT = 0;
constexpr int FD_WRITE_BIT = 1;
constexpr int FD_OOB_BIT = 2;
constexpr int FD_ACCEPT_BIT = 3;
constexpr int FD_CONNECT_BIT = 4;
constexpr int FD_CLOSE_BIT = 5;
constexpr int FD_MAX_EVENTS = 10;

struct WSANETWORKEVENTS {
  long lNetworkEvents;
  int iErrorCode[FD_MAX_EVENTS];
};
using LPWSANETWORKEVENTS = WSANETWORKEVENTS*;

// Waits.
constexpr DWORD WSA_MAXIMUM_WAIT_EVENTS = 64;
constexpr DWORD WSA_INFINITE = 0xFFFFFFFF;
constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD WSA_WAIT_EVENT_0 = 0;
constexpr DWORD WSA_WAIT_IO_COMPLETION = 0xC0;
constexpr DWORD WSA_WAIT_TIMEOUT = 0x102;
constexpr DWORD WSA_WAIT_FAILED = 0xFFFFFFFF;

// Error codes (the Windows values).
constexpr int WSA_INVALID_HANDLE = 6;
constexpr int WSA_NOT_ENOUGH_MEMORY = 8;
constexpr int WSA_INVALID_PARAMETER = 87;
constexpr int WSA_OPERATION_ABORTED = 995;
constexpr int WSA_IO_INCOMPLETE = 996;
constexpr int WSA_IO_PENDING = 997;
constexpr int ERROR_NOT_FOUND = 1168;
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETOOMANYREFS = 10059;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAELOOP = 10062;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSASYSCALLFAILURE = 10107;

// Start-up and errors.
int WSAStartup(WORD version_requested, LPWSADATA data);
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int error);

// Event objects: manual-reset, created non-signalled.
WSAEVENT WSACreateEvent();
BOOL WSACloseEvent(WSAEVENT event);
BOOL WSASetEvent(WSAEVENT event);
BOOL WSAResetEvent(WSAEVENT event);
DWORD WSAWaitForMultipleEvents(DWORD count, const WSAEVENT* events, BOOL wait_all, DWORD timeout_ms,
                               BOOL alertable);

// Sockets.
SOCKET WSASocketA(int family, int type, int protocol, LPWSAPROTOCOL_INFOA protocol_info,
                  GROUP group, DWORD flags);
int closesocket(SOCKET s);
int bind(SOCKET s, const sockaddr* name, int name_length);
int listen(SOCKET s, int backlog);
int getsockname(SOCKET s, sockaddr* name, int* name_length);
int setsockopt(SOCKET s, int level, int name, const char* value, int value_length);
int WSAConnect(SOCKET s, const sockaddr* name, int name_length, LPWSABUF caller_data,
               LPWSABUF callee_data, LPQOS sqos, LPQOS gqos);
SOCKET WSAAccept(SOCKET s, sockaddr* address, LPINT address_length, LPCONDITIONPROC condition,
                 DWORD_PTR callback_data);
u_long inet_addr(const char* text);

// Network-event selection.
int WSAEventSelect(SOCKET s, WSAEVENT event, long network_events);
int WSAEnumNetworkEvents(SOCKET s, WSAEVENT event, LPWSANETWORKEVENTS network_events);

// Overlapped transfers.
int WSASend(SOCKET s, LPWSABUF buffers, DWORD buffer_count, LPDWORD bytes_sent, DWORD flags,
            LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE completion);
int WSARecv(SOCKET s, LPWSABUF buffers, DWORD buffer_count, LPDWORD bytes_received, LPDWORD flags,
            LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE completion);
BOOL WSAGetOverlappedResult(SOCKET s, LPWSAOVERLAPPED overlapped, LPDWORD transferred, BOOL wait,
                            LPDWORD flags);
// Cancels the socket's pending overlapped operation(s); the handle is the socket.
BOOL CancelIoEx(HANDLE file, LPOVERLAPPED overlapped);

}  // namespace ostrel::wsa

namespace ostrel {
using namespace ostrel::wsa;  // NOLINT: the Windows names, unqualified, as on Windows
}  // namespace ostrel

#endif

namespace ostrel::platform {

// Lets a fresh TCP socket that is about to be bound to port 0 take its local port when it
// connects (or listens) rather than at bind time: a port reserved at bind time cannot be shared
// with connections to other peers, so under load the ports held in TIME_WAIT run out. Linux:
// IP_BIND_ADDRESS_NO_PORT; Windows 10 and later: SO_REUSE_UNICASTPORT (platform/win/
// client_port.cpp). Returns 0, or the Windows Sockets error when the system does not offer it;
// a failure is harmless (the bind then picks its port at once).
int DeferClientPortChoice(SOCKET socket);

}  // namespace ostrel::platform
