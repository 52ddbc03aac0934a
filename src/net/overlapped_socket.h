// One TCP socket made for overlapped operation, with a completion event for its sends and one
// for its receives, and the local and remote addresses.
//
// Every operation that returns false (or INVALID_SOCKET) leaves the reason in the thread's
// Windows Sockets error (WSAGetLastError), so a caller can report it.
#pragma once

#include "net/net_object.h"
#include "platform/winsock.h"

namespace ostrel::net {

class OverlappedSocket : public NetObject {
 public:
  OverlappedSocket();
  ~OverlappedSocket() override;

  // Makes the socket and creates it bound to the given address and port (network byte order).
  virtual bool CreateAndBind(u_long address, u_short port) = 0;
  // Releases the socket, then the send and the receive completion event. True only when a
  // socket was held and closed without error.
  virtual bool Close();

  // The held handle; a held socket is returned unchanged. The two completion events are made
  // whether or not the socket could be made.
  SOCKET Create(int family, int type, int protocol, DWORD flags);
  bool Bind(u_long address, u_short port);
  // Takes over a socket handle (releasing what was held) with fresh completion events.
  bool Attach(SOCKET handle);
  bool SetReuseAddress(bool on);
  bool SelectEvents(WSAEVENT event, long mask);

  // Start an overlapped send or receive: 0 when it finished at once (transferred holds the
  // count), else a Windows Sockets error code; WSA_IO_PENDING means it completes later.
  int Send(WSABUF* buffers, DWORD count, DWORD* transferred, DWORD flags);
  int Receive(WSABUF* buffers, DWORD count, DWORD* transferred, DWORD flags);

  // Collect the result of the last send or receive; wait true waits for it without a limit.
  // On success the completion event is reset; on failure it is left as it was.
  bool GetSendResult(bool wait, DWORD* transferred);
  bool GetReceiveResult(bool wait, DWORD* transferred);

  // Collect the result of a pending send or receive, waiting at most limit_ms. When that runs
  // out the operation is cancelled, its cancelled result collected, and the error is
  // WSAETIMEDOUT; the socket should then be closed.
  bool AwaitSendResult(DWORD limit_ms, DWORD* transferred);
  bool AwaitReceiveResult(DWORD limit_ms, DWORD* transferred);

  SOCKET Handle() const { return socket_; }
  WSAEVENT SendEvent() const { return send_record_.hEvent; }
  WSAEVENT ReceiveEvent() const { return receive_record_.hEvent; }
  const sockaddr_in& LocalAddress() const { return local_address_; }
  const sockaddr_in& RemoteAddress() const { return remote_address_; }

 protected:
  // Reads the local address record from the system (after a bind, listen or connect).
  void RefreshLocalAddress();
  void SetRemoteAddress(const sockaddr_in& address) { remote_address_ = address; }

 private:
  bool ReleaseHandles();
  void MakeMissingEvents();
  bool CollectResult(WSAOVERLAPPED& record, bool wait, DWORD* transferred);
  bool AwaitResult(WSAOVERLAPPED& record, DWORD limit_ms, DWORD* transferred);
  void SettlePending(WSAOVERLAPPED& record);
  bool CancelAndCollect(WSAOVERLAPPED& record, DWORD* transferred);
  int StartError(WSAOVERLAPPED& record);

  SOCKET socket_;
  WSAOVERLAPPED send_record_;
  WSAOVERLAPPED receive_record_;
  sockaddr_in local_address_;
  sockaddr_in remote_address_;
};

// Sets the thread's Windows Sockets error and returns false.
bool FailWith(int error);

}  // namespace ostrel::net
