// A wall controller on loopback: takes one command frame per connection, checks it, applies it
// to a WallModel and logs one line per connection. Runs its own I/O thread. A fault mode makes
// it misbehave on purpose (fault_mode.h).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include <asio.hpp>

#include "wallsim/fault_mode.h"
#include "wallsim/wall_model.h"

namespace ostrel::wallsim {

struct ServerOptions {
  std::string address = "127.0.0.1";
  std::uint16_t port = 0;  // 0: the system picks a free port
  // A peer that sends nothing for this long is dropped (and a stalled one let go).
  std::chrono::milliseconds idleLimit{5000};
  // Largest frame accepted (length field included); commands are well under 4 KiB.
  std::uint32_t maxFrameBytes = 64 * 1024;
  FaultMode fault;
  // Seed of the choice of connections a fault share acts on; 0 for a random one.
  unsigned seed = 0;
};

struct ServerCounters {
  int connections = 0;
  int applied = 0;
  int rejected = 0;        // every finished connection that did not change the wall
  int acceptFailures = 0;  // accepts that failed (out of descriptors, say)
};

// One finished connection, as the log and the web view show it.
struct LogEntry {
  std::int64_t timeMs = 0;  // since the epoch
  std::string peer;
  std::string command;  // the command read, or empty
  bool applied = false;
  std::string detail;  // the change, or why nothing changed
  std::string fault;   // the fault mode that acted on the connection, or empty
};

class WallServer {
 public:
  using LogSink = std::function<void(const std::string&)>;
  // Called, with the server's lock held, after each finished connection ("connection": the log
  // entry and the area it changed) and each change of fault mode ("fault").
  using EventSink = std::function<void(const std::string& type, const nlohmann::json&)>;

  // How many finished connections the server remembers for the web view.
  static constexpr std::size_t kLogEntries = 200;

  WallServer(ServerOptions options, LogSink log);
  ~WallServer();
  WallServer(const WallServer&) = delete;
  WallServer& operator=(const WallServer&) = delete;

  void SetEventSink(EventSink sink);

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

  // The wall, the remembered log, the fault mode and the counters; atSameMoment runs under the
  // same lock, so that nothing happens between the snapshot and what it does.
  nlohmann::json Snapshot(const std::function<void()>& atSameMoment = {}) const;

  // Takes effect for the next connection once it returns.
  void SetFault(const FaultMode& mode);
  FaultMode Fault() const;

 private:
  class Connection;
  enum class Listening { Accepting, Closed, Plugged };

  void AcceptNext();
  void OnAccepted(asio::error_code error, asio::ip::tcp::socket socket);
  void PauseAccepting(const asio::error_code& error);
  void FollowFault();
  void SetListening(Listening wanted);
  FaultMode ChooseFault();
  void Finish(LogEntry entry, const Command* command);

  ServerOptions options_;
  LogSink log_;
  EventSink events_;
  asio::io_context io_;
  // Keeps the I/O thread running while nothing listens.
  asio::executor_work_guard<asio::io_context::executor_type> work_{io_.get_executor()};
  asio::ip::tcp::acceptor acceptor_;
  asio::steady_timer acceptPause_;
  asio::ip::tcp::socket plug_;  // fills the queue while every connection stalls
  std::thread thread_;
  std::uint16_t port_ = 0;
  // I/O thread only.
  Listening listening_ = Listening::Accepting;
  bool acceptPending_ = false;
  bool stopping_ = false;
  int failuresInARow_ = 0;
  bool plugged_ = false;
  asio::ip::tcp::endpoint plugEndpoint_;

  mutable std::mutex mutex_;
  std::condition_variable done_;
  WallModel model_;
  ServerCounters counters_;
  std::deque<LogEntry> recent_;
  FaultMode fault_;
  std::mt19937 random_;
};

nlohmann::json LogEntryJson(const LogEntry& entry);

}  // namespace ostrel::wallsim
