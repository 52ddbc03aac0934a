// A peer that resets a connection once the client has seen it made, and a wait for that reset,
// both on native sockets beside the socket layer under test.
#pragma once

#include <cstdint>

namespace ostrel::testing {

// Listens on 127.0.0.1 at a port the system chooses. Native sockets only: this file and its
// implementation see none of the layer's names.
class NativeResetListener {
 public:
  NativeResetListener();
  ~NativeResetListener();
  NativeResetListener(const NativeResetListener&) = delete;
  NativeResetListener& operator=(const NativeResetListener&) = delete;

  bool listening() const { return fd_ >= 0; }
  uint16_t port() const { return port_; }
  // Accepts the connection waiting in the queue and resets it (close with a zero linger).
  bool AcceptAndReset();

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// Waits up to `milliseconds` until the layer socket's descriptor (a SOCKET of the layer) holds a
// pending error, such as a peer's reset. Polling leaves the error for the call under test.
bool ResetArrives(std::uintptr_t layer_socket, int milliseconds);

// The native descriptor behind a layer socket, or -1 when the handle names none.
int DescriptorOf(std::uintptr_t layer_socket);

}  // namespace ostrel::testing
