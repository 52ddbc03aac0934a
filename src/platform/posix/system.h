// The POSIX headers the stand-ins are built on, and the native constants they need.
//
// The system headers define several Windows Sockets names (AF_INET, SOL_SOCKET, htons, ...) as
// macros with POSIX values; platform/winsock.h removes those macros and declares the Windows
// ones. The native values are captured here first, under ostrel::sys, so every stand-in file
// includes this header (and through it winsock.h) before anything else.
#pragma once

#ifndef _GNU_SOURCE
#define _GNU_SOURCE  // POLLRDHUP
#endif

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

namespace ostrel::sys {

using native_sockaddr = ::sockaddr;
using native_sockaddr_in = ::sockaddr_in;

constexpr int kAfInet = AF_INET;
constexpr int kSockStream = SOCK_STREAM;
constexpr int kIpProtoIp = IPPROTO_IP;
constexpr int kIpProtoTcp = IPPROTO_TCP;
constexpr int kSolSocket = SOL_SOCKET;
constexpr int kSoReuseAddr = SO_REUSEADDR;
constexpr int kSoError = SO_ERROR;
constexpr int kMsgPeek = MSG_PEEK;
#if defined(IP_BIND_ADDRESS_NO_PORT)
constexpr int kIpBindAddressNoPort = IP_BIND_ADDRESS_NO_PORT;
#else
constexpr int kIpBindAddressNoPort = -1;  // not offered by this system
#endif
#if defined(POLLRDHUP)
constexpr short kPollRdHup = POLLRDHUP;
#else
constexpr short kPollRdHup = 0;
#endif
#if defined(MSG_NOSIGNAL)
constexpr int kMsgNoSignal = MSG_NOSIGNAL;
#else
constexpr int kMsgNoSignal = 0;  // SO_NOSIGPIPE is set on the socket instead
#endif

}  // namespace ostrel::sys

#include "platform/winsock.h"
