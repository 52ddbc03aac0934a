// The one-shot request exchange: create and bind, connect, send all, optionally read the
// reply frame, close.
#include "net/framed_request.h"

#include <atomic>
#include <cstring>
#include <new>

#include "command/wire_protocol.h"
#include "net/stream_client_socket.h"
#include "net/time_limits.h"
#include "net/transfer.h"
#include "net/wakeable_event.h"

namespace ostrel::net {
namespace {

std::atomic<ExchangeObserver> exchange_observer{nullptr};

void Notify(ExchangeStep step, const char* address, int port, long value) {
  const ExchangeObserver observer = exchange_observer.load(std::memory_order_relaxed);
  if (observer != nullptr) observer(step, address, port, value);
}

// Reads the reply frame. A length of 0 succeeds without writing the references; a length
// shorter than its own field or above kMaxReplyLength is refused (WSAEMSGSIZE) before anything
// is allocated.
bool ReceiveReply(OverlappedSocket& socket, WSAEVENT event, unsigned char** reply_block,
                  std::int32_t* reply_length) {
  unsigned char length_field[kLengthFieldSize] = {0, 0, 0, 0};
  if (!ReceiveAll(socket, event, length_field, kLengthFieldSize)) {
    return false;
  }
  const std::uint32_t length = DecodeFrameLength(length_field);
  if (length == 0) {
    return true;
  }
  if (length < kLengthFieldSize || length > kMaxReplyLength) {
    return FailWith(WSAEMSGSIZE);
  }
  unsigned char* block = new (std::nothrow) unsigned char[length];
  if (block == nullptr) {
    return FailWith(WSAENOBUFS);
  }
  if (!ReceiveAll(socket, event, block + kLengthFieldSize, length - kLengthFieldSize)) {
    const int error = WSAGetLastError();
    delete[] block;
    return FailWith(error);
  }
  std::memcpy(block, length_field, kLengthFieldSize);
  *reply_block = block;
  *reply_length = static_cast<std::int32_t>(length);
  return true;
}

// A socket closed under the exchange (the last clean-up of Windows Sockets closes them all)
// shows as one of these, depending on the platform and on the call that found it gone.
bool ClosedUnderneath(int error) {
  return error == WSANOTINITIALISED || error == WSAENOTSOCK || error == WSA_OPERATION_ABORTED ||
         error == WSAEINTR || error == WSA_INVALID_HANDLE;
}

// Selects the exchange's events. Unlike the connect's, a failed selection only shows as a wait
// that runs out, with one exception: a socket that the last clean-up closed before the exchange
// event was there to be woken can never record an event, so the exchange ends at once instead
// of waiting out the limit.
bool SelectUnlessClosed(StreamClientSocket& socket, WSAEVENT event, long mask) {
  return socket.SelectEvents(event, mask) || !ClosedUnderneath(WSAGetLastError());
}

// Runs the exchange; on false, *error holds the reason, taken before the socket and events are
// released so that their clean-up cannot change it. Once the socket was made, its closing by
// the last clean-up is reported as WSAEINTR whatever call found it.
bool Exchange(const char* address, int port, const void* request, std::uint32_t request_size,
              unsigned char** reply_block, std::int32_t* reply_length, int* error) {
  if (address == nullptr || request == nullptr ||
      (reply_length != nullptr && reply_block == nullptr)) {
    *error = WSAEINVAL;
    return false;
  }
  StreamClientSocket socket;
  auto failed = [error, &socket]() {
    *error = WSAGetLastError();
    if (socket.Handle() != INVALID_SOCKET && ClosedUnderneath(*error)) {
      *error = WSAEINTR;
    }
    return false;
  };
  Notify(ExchangeStep::kConnectStarted, address, port, 0);
  if (!socket.CreateAndBind(INADDR_ANY, 0) || !socket.ConnectTo(address, port)) {
    return failed();
  }
  Notify(ExchangeStep::kConnected, address, port, 0);
  WakeableEvent event;
  if (event.get() == WSA_INVALID_EVENT) {
    return failed();
  }
  if (!SelectUnlessClosed(socket, event.get(), FD_WRITE | FD_CLOSE)) {
    return failed();
  }
  if (!SendAll(socket, event.get(), request, request_size)) {
    return failed();
  }
  Notify(ExchangeStep::kSent, address, port, static_cast<long>(request_size));
  if (reply_length == nullptr) {
    return true;
  }
  if (!SelectUnlessClosed(socket, event.get(), FD_READ | FD_CLOSE)) {
    return failed();
  }
  if (!ReceiveReply(socket, event.get(), reply_block, reply_length)) {
    return failed();
  }
  return true;
}

}  // namespace

bool SendFramedRequest(const char* address, int port, const void* request,
                       std::uint32_t request_size, unsigned char** reply_block,
                       std::int32_t* reply_length) {
  int error = 0;
  const bool delivered =
      Exchange(address, port, request, request_size, reply_block, reply_length, &error);
  // The socket is closed when Exchange returns; the error is set last, after the observer.
  Notify(ExchangeStep::kClosed, address, port, delivered ? 0 : error);
  if (!delivered) {
    WSASetLastError(error);
  }
  return delivered;
}

void ReleaseReplyBlock(unsigned char* block) { delete[] block; }

void SetExchangeObserver(ExchangeObserver observer) {
  exchange_observer.store(observer, std::memory_order_relaxed);
}

}  // namespace ostrel::net
