// A wall controller on loopback: takes one command frame per connection, checks it, applies it
// to a WallModel and logs one line per connection. Runs its own I/O thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <asio.hpp>

#include "wallsim/wall_model.h"

namespace ostrel::wallsim {

struct ServerOptions {
  std::string address = "127.0.0.1";
  std::uint16_t port = 0;  // 0: the system picks a free port
  // A peer that sends nothing for this long is dropped.
  std::chrono::milliseconds idleLimit{5000};
  // Largest frame accepted (length field included); commands are well under 4 KiB.
  std::uint32_t maxFrameBytes = 64 * 1024;
};

struct ServerCounters {
  int connections = 0;
  int applied = 0;
  int rejected = 0;
};

class WallServer {
 public:
  using LogSink = std::function<void(const std::string&)>;

  WallServer(ServerOptions options, LogSink log);
  ~WallServer();
  WallServer(const WallServer&) = delete;
  WallServer& operator=(const WallServer&) = delete;

  // Binds, listens and starts serving on a thread of its own. Throws std::system_error when the
  // address cannot be bound.
  void Start();
  void Stop();

  std::uint16_t Port() const { return port_; }

  // Waits until the number of finished connections (applied + rejected) reaches count.
  bool WaitForConnectionsDone(int count, std::chrono::milliseconds limit);

  ServerCounters Counters() const;
  std::string Table() const;
  nlohmann::json ToJson() const;
  std::string Showing(const std::string& vidout, int area) const;

 private:
  class Connection;
  void AcceptNext();
  void Finish(const std::string& peer, const std::string& outcome, const Command* command);

  ServerOptions options_;
  LogSink log_;
  asio::io_context io_;
  asio::ip::tcp::acceptor acceptor_;
  std::thread thread_;
  std::uint16_t port_ = 0;

  mutable std::mutex mutex_;
  std::condition_variable done_;
  WallModel model_;
  ServerCounters counters_;
};

}  // namespace ostrel::wallsim
