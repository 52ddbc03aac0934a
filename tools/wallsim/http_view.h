// The simulator's web view on loopback: the live page (GET /), the wall as JSON
// (GET /state.json, the same model as --json), a live stream of what happens (GET /events,
// Server-Sent Events), and the fault mode (GET and POST /faults). It never slows the command
// side: each browser's stream has a bounded queue and a browser that falls behind is dropped.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "wallsim/event_hub.h"
#include "wallsim/wall_server.h"

namespace httplib {
class Server;
}

namespace ostrel::wallsim {

class HttpView {
 public:
  // Attaches to the server's events (until destroyed); best before server.Start().
  explicit HttpView(WallServer& server);
  ~HttpView();
  HttpView(const HttpView&) = delete;
  HttpView& operator=(const HttpView&) = delete;

  // Binds (port 0: any free port) and serves on threads of its own. False, with the reason,
  // when the address is not loopback or cannot be bound.
  bool Start(const std::string& address, int port, std::string* why);
  void Stop();

  int Port() const { return port_; }
  std::string Url() const;
  const EventHub& Hub() const { return hub_; }

 private:
  void StopListening();
  void Route();

  WallServer& server_;
  EventHub hub_;
  std::unique_ptr<httplib::Server> http_;
  std::thread thread_;
  std::atomic<bool> listen_ended_{false};
  std::string address_;
  int port_ = 0;
};

// Splits "HOST:PORT" (HOST dotted IPv4); false with the reason when it is not that shape.
bool ParseHttpEndpoint(const std::string& text, std::string* address, int* port, std::string* why);

}  // namespace ostrel::wallsim
