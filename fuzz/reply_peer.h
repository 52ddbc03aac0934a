// A loopback peer for the reply-path fuzz target: one thread, reused for every input. For each
// connection it is told about, it accepts, reads the whole request, sends the reply (at once
// or in pieces), then closes gracefully or with a reset. Native sockets only: it shares nothing
// with the library's socket layer.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

namespace ostrel::fuzz {

struct ReplyPlan {
  std::size_t request_size = 0;       // bytes to read before answering
  std::vector<unsigned char> reply;   // sent after the request
  std::size_t piece = 0;              // bytes per send (0: all at once); the 12th takes the rest
  bool pause_between_pieces = false;  // a short pause after each of the first four pieces
  bool reset = false;                 // close with a reset instead of a FIN
};

class ReplyPeer {
 public:
  ReplyPeer();
  ~ReplyPeer();
  ReplyPeer(const ReplyPeer&) = delete;
  ReplyPeer& operator=(const ReplyPeer&) = delete;

  int port() const { return port_; }
  // The plan for the next connection.
  void Expect(ReplyPlan plan);
  // Waits until the peer is done with that connection (closed it, or gave up on it).
  bool WaitDone(std::chrono::milliseconds limit);

 private:
  void Run();
  void Serve(const ReplyPlan& plan);

  int listener_ = -1;
  int port_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool has_plan_ = false;
  bool done_ = true;
  bool stop_ = false;
  ReplyPlan plan_;
  std::thread thread_;
};

}  // namespace ostrel::fuzz
