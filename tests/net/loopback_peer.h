// An in-process wall controller on 127.0.0.1 for tests and benchmarks.
//
// It listens on a port the system chooses, accepts every connection, and follows a script:
// read and record what arrives (optionally answering once enough has arrived), or misbehave
// on purpose (close at once, reset at once, never read). It runs on its own thread with native
// sockets, so it never shares state with the library's socket layer.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace ostrel::testing {

enum class PeerAction {
  kRead,         // read until the client closes, recording the bytes
  kCloseAtOnce,  // close gracefully right after accepting, reading nothing
  kResetAtOnce,  // reset the connection right after accepting
  kNeverRead,    // keep the connection open and never read from it
};

struct PeerScript {
  PeerAction action = PeerAction::kRead;
  // kRead: once this many bytes have arrived on a connection (0: at once), send `reply` on it.
  std::size_t reply_after = 0;
  std::vector<unsigned char> reply;
  // Close the connection right after the reply instead of reading on until the client closes.
  bool close_after_reply = false;
  // Record the bytes themselves (false: count them only, for long runs).
  bool keep_bytes = true;
  // Receive buffer size for accepted connections when above 0; a small one makes a peer that
  // never reads fill up quickly.
  int receive_buffer = 0;
};

struct ConnectionRecord {
  std::vector<unsigned char> bytes;
  std::size_t byte_count = 0;
  bool client_closed = false;  // the client's end of stream arrived
  bool reset = false;          // the client reset the connection
  bool finished = false;       // the peer is done with the connection (closed it)
};

class LoopbackPeer {
 public:
  explicit LoopbackPeer(PeerScript script = {});
  ~LoopbackPeer();
  LoopbackPeer(const LoopbackPeer&) = delete;
  LoopbackPeer& operator=(const LoopbackPeer&) = delete;

  int port() const { return port_; }
  // Accepted connections, in accept order (a snapshot).
  std::vector<ConnectionRecord> Connections() const;
  std::size_t AcceptedCount() const;
  std::size_t FinishedCount() const;
  std::size_t TotalBytes() const;
  // Waits until at least `count` connections are finished; false when the time ran out.
  bool WaitForFinished(std::size_t count, std::chrono::milliseconds timeout) const;
  // Waits until at least `count` connections were accepted; false when the time ran out.
  bool WaitForAccepted(std::size_t count, std::chrono::milliseconds timeout) const;

  // A loopback port where nothing listens (it was free a moment ago).
  static int UnusedPort();

 private:
  struct Impl;
  void Run();

  PeerScript script_;
  std::unique_ptr<Impl> impl_;
  int port_ = 0;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<ConnectionRecord> records_;
  std::size_t finished_ = 0;
  std::size_t total_bytes_ = 0;
  std::thread thread_;
};

}  // namespace ostrel::testing
