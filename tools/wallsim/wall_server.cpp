#include "wallsim/wall_server.h"

#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <future>
#include <optional>
#include <vector>

#include "command/wire_protocol.h"
#include "wallsim/frame_decoder.h"
#include "wallsim/text_json.h"

namespace ostrel::wallsim {
namespace {

// How long accepting rests after a failed accept: out of descriptors, an accept fails again at
// once, and retrying without a pause only burns the processor the open connections need.
constexpr std::chrono::milliseconds kAcceptPause{100};
// Log texts longer than this are cut, so that the remembered log stays small.
constexpr std::size_t kMaxLogTextBytes = 512;
// How long SetFault waits for the I/O thread (which only stops answering while stopping).
constexpr std::chrono::seconds kFollowLimit{2};
// How often a slow reader takes its next bytes at most.
constexpr int kSlowTickMs = 100;
constexpr int kMsPerSecond = 1000;

std::string Cut(std::string text) {
  if (text.size() > kMaxLogTextBytes) {
    text.resize(kMaxLogTextBytes);
    text += "...";
  }
  return text;
}

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

// One accepted connection: read the 4-byte length, then the rest of the frame, each read
// under the idle limit; then decode, apply and close. A fault mode changes each step.
class WallServer::Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(WallServer& server, asio::ip::tcp::socket socket, FaultMode fault)
      : server_(server),
        socket_(std::move(socket)),
        timer_(socket_.get_executor()),
        pace_(socket_.get_executor()),
        fault_(fault) {
    asio::error_code ignored;
    auto remote = socket_.remote_endpoint(ignored);
    peer_ = remote.address().to_string() + ":" + std::to_string(remote.port());
  }

  void Start() {
    switch (fault_.kind) {
      case FaultKind::Refuse:
        return Reset("closed at once");
      case FaultKind::Reset:
        return Reset("reset after accept");
      case FaultKind::Stall:
        return Stall();
      default:
        buffer_.resize(kLengthFieldSize);
        return Read([](Connection& self) { self.OnLength(); });
    }
  }

 private:
  using Next = void (*)(Connection&);

  void Reset(const char* what) {
    asio::error_code ignored;
    socket_.set_option(asio::socket_base::linger(true, 0), ignored);
    Fail(what);
  }

  void Stall() {
    timer_.expires_after(server_.options_.idleLimit);
    timer_.async_wait([self = shared_from_this()](asio::error_code) {
      self->Fail("held unread for " + std::to_string(self->server_.options_.idleLimit.count()) +
                 " ms");
    });
  }

  void ArmTimer() {
    timer_.expires_after(server_.options_.idleLimit);
    timer_.async_wait([self = shared_from_this()](asio::error_code error) {
      if (!error) {
        self->timedOut_ = true;
        asio::error_code ignored;
        self->socket_.cancel(ignored);
        self->pace_.cancel();
      }
    });
  }

  // Reads until buffer_ is full (at the fault's pace when slow), then calls next.
  void Read(Next next) {
    ArmTimer();
    std::size_t chunk = buffer_.size() - got_;
    if (fault_.kind == FaultKind::Slow) chunk = std::min(chunk, SlowChunk());
    asio::async_read(socket_, asio::buffer(buffer_.data() + got_, chunk),
                     [self = shared_from_this(), next](asio::error_code error, std::size_t n) {
                       self->got_ += n;
                       if (error) return self->Fail(self->ReadFailure(error));
                       if (self->got_ == self->buffer_.size()) return next(*self);
                       self->pace_.expires_after(self->SlowTick());
                       self->pace_.async_wait([self, next](asio::error_code paceError) {
                         if (paceError) return self->Fail(self->ReadFailure(paceError));
                         self->Read(next);
                       });
                     });
  }

  std::chrono::milliseconds SlowTick() const {
    return std::chrono::milliseconds(std::max(kSlowTickMs, kMsPerSecond / std::max(1, fault_.arg)));
  }
  std::size_t SlowChunk() const {
    return std::max<std::size_t>(1, std::size_t(fault_.arg) * SlowTick().count() / kMsPerSecond);
  }

  void OnLength() {
    const std::uint32_t total = DecodeFrameLength(buffer_.data());
    if (total <= kLengthFieldSize)
      return Fail("length field " + std::to_string(total) + " leaves no document");
    if (total > server_.options_.maxFrameBytes) {
      return Fail("length field " + std::to_string(total) + " exceeds the limit of " +
                  std::to_string(server_.options_.maxFrameBytes) + " bytes");
    }
    buffer_.resize(total);
    Read([](Connection& self) { self.OnFrame(); });
  }

  void OnFrame() {
    timer_.cancel();
    DecodeResult result =
        DecodeCommandDocument(std::string(buffer_.begin() + kLengthFieldSize, buffer_.end()));
    if (!result.ok) return Fail(result.error);
    command_ = std::move(result.command);
    Close();
    if (fault_.kind == FaultKind::Drop) return End(false, "read, not applied");
    if (fault_.kind != FaultKind::Delay) return End(true, "");
    timer_.expires_after(std::chrono::milliseconds(fault_.arg));
    timer_.async_wait([self = shared_from_this()](asio::error_code) {
      self->End(true, "applied " + std::to_string(self->fault_.arg) + " ms late");
    });
  }

  std::string ReadFailure(asio::error_code error) {
    const std::string what = got_ < kLengthFieldSize ? "length field" : "document";
    const std::size_t got = got_ < kLengthFieldSize ? got_ : got_ - kLengthFieldSize;
    const std::size_t wanted =
        got_ < kLengthFieldSize ? kLengthFieldSize : buffer_.size() - kLengthFieldSize;
    const std::string counts = std::to_string(got) + " of " + std::to_string(wanted) + " bytes";
    if (timedOut_) {
      return "no " + what + " within " + std::to_string(server_.options_.idleLimit.count()) +
             " ms (" + counts + ")";
    }
    if (error == asio::error::eof) return "connection closed after " + counts + " of the " + what;
    return "read of the " + what + " failed: " + error.message();
  }

  void Fail(const std::string& why) {
    Close();
    End(false, why);
  }

  // Logs the connection; applies the command read when asked to.
  void End(bool apply, const std::string& note) {
    LogEntry entry;
    entry.peer = peer_;
    entry.detail = note;
    if (fault_.Active()) entry.fault = FaultText(fault_);
    if (command_) entry.command = Describe(*command_);
    server_.Finish(std::move(entry), apply ? &*command_ : nullptr);
  }

  void Close() {
    asio::error_code ignored;
    timer_.cancel();
    pace_.cancel();
    socket_.close(ignored);
  }

  WallServer& server_;
  asio::ip::tcp::socket socket_;
  asio::steady_timer timer_;
  asio::steady_timer pace_;
  FaultMode fault_;
  std::string peer_;
  std::vector<unsigned char> buffer_;
  std::size_t got_ = 0;
  std::optional<Command> command_;
  bool timedOut_ = false;
};

WallServer::WallServer(ServerOptions options, LogSink log)
    : options_(std::move(options)),
      log_(std::move(log)),
      acceptor_(io_),
      acceptPause_(io_),
      plug_(io_),
      fault_(options_.fault),
      random_(options_.seed != 0 ? options_.seed : std::random_device{}()) {}

WallServer::~WallServer() { Stop(); }

void WallServer::SetEventSink(EventSink sink) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_ = std::move(sink);
}

void WallServer::Start() {
  asio::ip::tcp::endpoint endpoint(asio::ip::make_address(options_.address), options_.port);
  acceptor_.open(endpoint.protocol());
  acceptor_.set_option(asio::ip::tcp::acceptor::reuse_address(true));
  acceptor_.bind(endpoint);
  acceptor_.listen(asio::socket_base::max_listen_connections);
  port_ = acceptor_.local_endpoint().port();
  AcceptNext();
  FollowFault();
  thread_ = std::thread([this] { io_.run(); });
}

void WallServer::Stop() {
  if (!thread_.joinable()) return;
  asio::post(io_, [this] {
    stopping_ = true;
    asio::error_code ignored;
    acceptor_.close(ignored);
    plug_.close(ignored);
  });
  io_.stop();
  thread_.join();
}

void WallServer::AcceptNext() {
  if (stopping_ || acceptPending_ || listening_ != Listening::Accepting) return;
  acceptPending_ = true;
  acceptor_.async_accept([this](asio::error_code error, asio::ip::tcp::socket socket) {
    acceptPending_ = false;
    OnAccepted(error, std::move(socket));
  });
}

void WallServer::OnAccepted(asio::error_code error, asio::ip::tcp::socket socket) {
  if (error == asio::error::operation_aborted || !acceptor_.is_open()) return AcceptNext();
  if (error) return PauseAccepting(error);
  if (failuresInARow_ > 0 && log_) {
    log_("accepting again after " + std::to_string(failuresInARow_) + " failed accepts");
  }
  failuresInARow_ = 0;
  asio::error_code ignored;
  if (plugged_ && socket.remote_endpoint(ignored) == plugEndpoint_) {
    plugged_ = false;
    return AcceptNext();  // the queue filler itself, let in when stalling ended
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counters_.connections;
  }
  std::make_shared<Connection>(*this, std::move(socket), ChooseFault())->Start();
  AcceptNext();
}

// The connections already open go on being served meanwhile.
void WallServer::PauseAccepting(const asio::error_code& error) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counters_.acceptFailures;
  }
  if (failuresInARow_++ == 0 && log_) {
    log_("accept failed (" + error.message() + "); accepting again in " +
         std::to_string(kAcceptPause.count()) + " ms steps");
  }
  acceptPause_.expires_after(kAcceptPause);
  acceptPause_.async_wait([this](asio::error_code waitError) {
    if (!waitError) AcceptNext();
  });
}

void WallServer::SetFault(const FaultMode& mode) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    fault_ = mode;
    if (log_) log_("fault mode: " + FaultText(mode));
    if (events_) events_("fault", FaultJson(mode));
  }
  if (!thread_.joinable()) return;  // Start follows it
  // Wait until the listening socket follows, so that the next connection meets the new mode.
  auto followed = std::make_shared<std::promise<void>>();
  asio::post(io_, [this, followed] {
    FollowFault();
    followed->set_value();
  });
  followed->get_future().wait_for(kFollowLimit);
}

FaultMode WallServer::Fault() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return fault_;
}

// With every connection refused, nothing listens; with every connection stalled, the queue
// of the listening socket is kept full so that the system completes no new connection. Both
// are what a host sees of a controller that is down or hung; a share of connections can only
// be treated that way after the system has accepted them.
void WallServer::FollowFault() {
  const FaultMode mode = Fault();
  Listening wanted = Listening::Accepting;
  if (mode.Always() && mode.kind == FaultKind::Refuse) wanted = Listening::Closed;
  if (mode.Always() && mode.kind == FaultKind::Stall) wanted = Listening::Plugged;
  if (stopping_ || wanted == listening_) return;
  if (listening_ != Listening::Accepting) SetListening(Listening::Accepting);
  if (wanted != Listening::Accepting) SetListening(wanted);
}

void WallServer::SetListening(Listening wanted) {
  asio::error_code error;
  const asio::ip::tcp::endpoint endpoint(asio::ip::make_address(options_.address), port_);
  if (wanted == Listening::Closed) {
    acceptor_.close(error);
  } else if (wanted == Listening::Plugged) {
    acceptor_.cancel(error);
    ::listen(acceptor_.native_handle(), 0);  // one waiting connection fills the queue
    plug_.connect(endpoint, error);
    plugEndpoint_ = plug_.local_endpoint(error);
    plugged_ = !error;
  } else if (listening_ == Listening::Closed) {
    acceptor_.open(endpoint.protocol(), error);
    acceptor_.set_option(asio::ip::tcp::acceptor::reuse_address(true), error);
    if (!error) acceptor_.bind(endpoint, error);
    if (!error) acceptor_.listen(asio::socket_base::max_listen_connections, error);
  } else {
    ::listen(acceptor_.native_handle(), asio::socket_base::max_listen_connections);
  }
  if (error && log_) log_("cannot change listening: " + error.message());
  listening_ = wanted;
  AcceptNext();
  if (wanted == Listening::Accepting && plug_.is_open()) {
    // Let the queue filler be accepted first so that it can be told apart, then drop it.
    asio::post(io_, [this] {
      asio::error_code ignored;
      plug_.close(ignored);
    });
  }
}

FaultMode WallServer::ChooseFault() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!fault_.Active()) return {};
  if (fault_.rate >= 1 || std::uniform_real_distribution<double>(0, 1)(random_) < fault_.rate) {
    return fault_;
  }
  return {};
}

void WallServer::Finish(LogEntry entry, const Command* command) {
  {
    // The line is logged before the count moves, so a waiter that sees the count also sees
    // the line.
    std::lock_guard<std::mutex> lock(mutex_);
    entry.timeMs = NowMs();
    nlohmann::json area;
    if (command != nullptr) {
      const ApplyResult result = model_.Apply(*command);
      entry.applied = result.applied;
      entry.detail = entry.detail.empty() ? result.change : result.change + ", " + entry.detail;
      if (!result.applied) entry.detail = "refused: " + result.change;
      const bool duplicate = command->function == Function::Duplicate;
      if (result.applied) {
        area = model_.AreaJson(duplicate ? command->targetVidout : command->vidout,
                               duplicate ? command->targetArea : command->area);
      }
    }
    ++(entry.applied ? counters_.applied : counters_.rejected);
    std::string line = entry.peer + " ";
    line +=
        entry.command.empty() ? "dropped: " + entry.detail : entry.command + " -> " + entry.detail;
    if (!entry.fault.empty()) line += " [fault " + entry.fault + "]";
    if (log_) log_(line);
    entry.command = Cut(std::move(entry.command));
    entry.detail = Cut(std::move(entry.detail));
    if (events_) events_("connection", {{"entry", LogEntryJson(entry)}, {"area", area}});
    recent_.push_back(std::move(entry));
    if (recent_.size() > kLogEntries) recent_.pop_front();
  }
  done_.notify_all();
}

bool WallServer::WaitForConnectionsDone(int count, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  return done_.wait_for(lock, limit,
                        [&] { return counters_.applied + counters_.rejected >= count; });
}

ServerCounters WallServer::Counters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counters_;
}

std::string WallServer::Table() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return model_.Table();
}

nlohmann::json WallServer::ToJson() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return model_.ToJson();
}

std::string WallServer::Showing(const std::string& vidout, int area) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return model_.Showing(vidout, area);
}

nlohmann::json WallServer::Snapshot(const std::function<void()>& atSameMoment) const {
  std::lock_guard<std::mutex> lock(mutex_);
  nlohmann::json log = nlohmann::json::array();
  for (const LogEntry& entry : recent_) log.push_back(LogEntryJson(entry));
  if (atSameMoment) atSameMoment();
  return {{"wall", model_.ToJson()},
          {"log", std::move(log)},
          {"fault", FaultJson(fault_)},
          {"counters",
           {{"connections", counters_.connections},
            {"applied", counters_.applied},
            {"rejected", counters_.rejected}}}};
}

nlohmann::json LogEntryJson(const LogEntry& entry) {
  nlohmann::json json = {{"time", entry.timeMs}, {"applied", entry.applied}};
  PutText(json, "peer", entry.peer);
  PutText(json, "command", entry.command);
  PutText(json, "detail", entry.detail);
  PutText(json, "fault", entry.fault);
  return json;
}

}  // namespace ostrel::wallsim
