#include "wallsim/http_view.h"

#include <httplib.h>

#include <chrono>

#include "wallsim/page_html.h"
#include "wallsim/text_json.h"

namespace ostrel::wallsim {
namespace {

// Messages a browser may have waiting before it is dropped as too slow.
constexpr std::size_t kQueueLimit = 1024;
// Live streams at once; each holds one of the server's threads.
constexpr std::size_t kReaderLimit = 8;
constexpr std::size_t kThreads = kReaderLimit + 4;
// A stream with nothing to say sends a comment this often, which also finds closed browsers.
constexpr std::chrono::milliseconds kHeartbeat{1000};
// How often Stop looks whether the server thread has begun listening.
constexpr std::chrono::milliseconds kStartPoll{1};
// How long one write to a browser may take before the browser is dropped.
constexpr int kWriteLimitSeconds = 1;
constexpr int kKeepAliveSeconds = 1;
constexpr std::size_t kMaxRequestBytes = 4096;
// How soon a page reconnects after losing its stream.
constexpr int kReconnectMs = 1000;
constexpr int kOk = 200;
constexpr int kBadRequest = 400;
constexpr int kUnsupported = 415;
constexpr int kBusy = 503;

std::string EventMessage(const std::string& type, const nlohmann::json& data) {
  return "event: " + type + "\ndata: " + DumpJson(data) + "\n\n";
}

void SendJson(httplib::Response& res, const nlohmann::json& value, int status = kOk) {
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  res.set_content(DumpJson(value, 2) + "\n", "application/json");
}

bool IsLoopback(const std::string& address) { return address.rfind("127.", 0) == 0; }

}  // namespace

bool ParseHttpEndpoint(const std::string& text, std::string* address, int* port, std::string* why) {
  const auto colon = text.rfind(':');
  char* end = nullptr;
  const long value =
      colon == std::string::npos ? -1 : std::strtol(text.c_str() + colon + 1, &end, 10);
  if (colon == std::string::npos || colon == 0 || end == text.c_str() + colon + 1 || *end != '\0' ||
      value < 0 || value > 65535) {
    *why = "expected HOST:PORT, e.g. 127.0.0.1:8080";
    return false;
  }
  *address = text.substr(0, colon);
  *port = static_cast<int>(value);
  return true;
}

HttpView::HttpView(WallServer& server) : server_(server), hub_(kQueueLimit, kReaderLimit) {
  server_.SetEventSink([this](const std::string& type, const nlohmann::json& data) {
    hub_.Publish(EventMessage(type, data));
  });
}

HttpView::~HttpView() {
  server_.SetEventSink(nullptr);
  Stop();
}

std::string HttpView::Url() const {
  return "http://" + address_ + ":" + std::to_string(port_) + "/";
}

bool HttpView::Start(const std::string& address, int port, std::string* why) {
  if (!IsLoopback(address)) {
    *why = "the web view serves loopback only (127.x.x.x), not " + address;
    return false;
  }
  http_ = std::make_unique<httplib::Server>();
  http_->new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
  http_->set_write_timeout(kWriteLimitSeconds, 0);
  http_->set_keep_alive_timeout(kKeepAliveSeconds);
  http_->set_payload_max_length(kMaxRequestBytes);
  Route();
  port_ = port == 0 ? http_->bind_to_any_port(address)
                    : (http_->bind_to_port(address, port) ? port : -1);
  if (port_ <= 0) {
    *why = "cannot listen on " + address + ":" + std::to_string(port);
    http_.reset();
    return false;
  }
  address_ = address;
  listen_ended_ = false;
  thread_ = std::thread([this] {
    http_->listen_after_bind();
    listen_ended_ = true;
  });
  return true;
}

void HttpView::Stop() {
  hub_.Close();
  if (http_) StopListening();
  if (thread_.joinable()) thread_.join();
  http_.reset();
}

// The server ignores a stop that comes before its thread starts listening, and the thread
// would then wait in accept for good: so wait for the listening to begin (or end) first.
void HttpView::StopListening() {
  while (!http_->is_running() && !listen_ended_) std::this_thread::sleep_for(kStartPoll);
  http_->stop();
}

void HttpView::Route() {
  http_->Get("/", [](const httplib::Request&, httplib::Response& res) {
    // Texts from commands are shown as text; the policy is a second line of defence.
    res.set_header("Content-Security-Policy",
                   "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                   "connect-src 'self'");
    res.set_header("Cache-Control", "no-store");
    res.set_content(kPageHtml, "text/html; charset=utf-8");
  });
  http_->Get("/state.json", [this](const httplib::Request&, httplib::Response& res) {
    SendJson(res, server_.ToJson());
  });
  http_->Get("/faults", [this](const httplib::Request&, httplib::Response& res) {
    SendJson(res, FaultJson(server_.Fault()));
  });
  http_->Post("/faults", [this](const httplib::Request& req, httplib::Response& res) {
    // A JSON body cannot come from another site's form without the browser asking first.
    if (req.get_header_value("Content-Type").rfind("application/json", 0) != 0) {
      return SendJson(res,
                      {{"error", "send {\"fault\": \"MODE[:ARG][@RATE]\"} as application/json"}},
                      kUnsupported);
    }
    const auto body = nlohmann::json::parse(req.body, nullptr, false);
    if (!body.is_object() || !body.contains("fault") || !body["fault"].is_string()) {
      return SendJson(res, {{"error", "expected {\"fault\": \"MODE[:ARG][@RATE]\"}"}}, kBadRequest);
    }
    std::string why;
    const auto mode = ParseFaultMode(body["fault"].get<std::string>(), &why);
    if (!mode) return SendJson(res, {{"error", why}}, kBadRequest);
    server_.SetFault(*mode);
    SendJson(res, FaultJson(*mode));
  });
  http_->Get("/events", [this](const httplib::Request&, httplib::Response& res) {
    std::shared_ptr<EventHub::Reader> reader;
    const nlohmann::json snapshot = server_.Snapshot([&] { reader = hub_.Join(); });
    if (!reader) {
      res.status = kBusy;
      res.set_content("too many live views\n", "text/plain");
      return;
    }
    auto first = std::make_shared<std::string>("retry: " + std::to_string(kReconnectMs) + "\n" +
                                               EventMessage("snapshot", snapshot));
    res.set_header("Cache-Control", "no-store");
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, reader, first](std::size_t, httplib::DataSink& sink) {
          if (!first->empty()) {
            const bool ok = sink.write(first->data(), first->size());
            first->clear();
            return ok;
          }
          std::string messages;
          switch (hub_.Take(*reader, &messages, kHeartbeat)) {
            case EventHub::Wait::Messages:
              return sink.write(messages.data(), messages.size());
            case EventHub::Wait::Idle:
              return sink.write(":\n\n", 3);
            case EventHub::Wait::Gone:
              break;
          }
          return false;
        },
        [this, reader](bool) { hub_.Leave(reader); });
  });
}

}  // namespace ostrel::wallsim
