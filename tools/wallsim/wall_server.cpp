#include "wallsim/wall_server.h"

#include <array>
#include <vector>

#include "wallsim/frame_decoder.h"

namespace ostrel::wallsim {

// One accepted connection: read the 4-byte length, then the rest of the frame, each read
// under the idle limit; then decode, apply and close.
class WallServer::Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(WallServer& server, asio::ip::tcp::socket socket)
      : server_(server), socket_(std::move(socket)), timer_(socket_.get_executor()) {
    asio::error_code ignored;
    auto remote = socket_.remote_endpoint(ignored);
    peer_ = remote.address().to_string() + ":" + std::to_string(remote.port());
  }

  void Start() { ReadLength(); }

 private:
  void ArmTimer() {
    timer_.expires_after(server_.options_.idleLimit);
    timer_.async_wait([self = shared_from_this()](asio::error_code error) {
      if (!error) {
        self->timedOut_ = true;
        asio::error_code ignored;
        self->socket_.cancel(ignored);
      }
    });
  }

  void ReadLength() {
    ArmTimer();
    asio::async_read(socket_, asio::buffer(header_),
                     [self = shared_from_this()](asio::error_code error, std::size_t got) {
                       self->OnLength(error, got);
                     });
  }

  void OnLength(asio::error_code error, std::size_t got) {
    if (error) return Fail(ReadFailure(error, got, 4, "length field"));
    const std::uint32_t total = std::uint32_t(header_[0]) | std::uint32_t(header_[1]) << 8 |
                                std::uint32_t(header_[2]) << 16 | std::uint32_t(header_[3]) << 24;
    if (total <= 4) return Fail("length field " + std::to_string(total) + " leaves no document");
    if (total > server_.options_.maxFrameBytes) {
      return Fail("length field " + std::to_string(total) + " exceeds the limit of " +
                  std::to_string(server_.options_.maxFrameBytes) + " bytes");
    }
    body_.resize(total - 4);
    ArmTimer();
    asio::async_read(socket_, asio::buffer(body_),
                     [self = shared_from_this()](asio::error_code error, std::size_t got) {
                       self->OnBody(error, got);
                     });
  }

  void OnBody(asio::error_code error, std::size_t got) {
    timer_.cancel();
    if (error) return Fail(ReadFailure(error, got, body_.size(), "document"));
    DecodeResult result = DecodeCommandDocument(std::string(body_.begin(), body_.end()));
    if (!result.ok) return Fail(result.error);
    server_.Finish(peer_, "", &result.command);
    Close();
  }

  std::string ReadFailure(asio::error_code error, std::size_t got, std::size_t wanted,
                          const char* what) {
    if (timedOut_) {
      return std::string("no ") + what + " within " +
             std::to_string(server_.options_.idleLimit.count()) + " ms (" + std::to_string(got) +
             " of " + std::to_string(wanted) + " bytes)";
    }
    if (error == asio::error::eof) {
      return std::string("connection closed after ") + std::to_string(got) + " of " +
             std::to_string(wanted) + " bytes of the " + what;
    }
    return std::string("read of the ") + what + " failed: " + error.message();
  }

  void Fail(const std::string& why) {
    timer_.cancel();
    server_.Finish(peer_, why, nullptr);
    Close();
  }

  void Close() {
    asio::error_code ignored;
    socket_.close(ignored);
  }

  WallServer& server_;
  asio::ip::tcp::socket socket_;
  asio::steady_timer timer_;
  std::string peer_;
  std::array<unsigned char, 4> header_{};
  std::vector<unsigned char> body_;
  bool timedOut_ = false;
};

WallServer::WallServer(ServerOptions options, LogSink log)
    : options_(std::move(options)), log_(std::move(log)), acceptor_(io_) {}

WallServer::~WallServer() { Stop(); }

void WallServer::Start() {
  asio::ip::tcp::endpoint endpoint(asio::ip::make_address(options_.address), options_.port);
  acceptor_.open(endpoint.protocol());
  acceptor_.set_option(asio::ip::tcp::acceptor::reuse_address(true));
  acceptor_.bind(endpoint);
  acceptor_.listen(asio::socket_base::max_listen_connections);
  port_ = acceptor_.local_endpoint().port();
  AcceptNext();
  thread_ = std::thread([this] { io_.run(); });
}

void WallServer::Stop() {
  if (!thread_.joinable()) return;
  asio::post(io_, [this] {
    asio::error_code ignored;
    acceptor_.close(ignored);
  });
  io_.stop();
  thread_.join();
}

void WallServer::AcceptNext() {
  acceptor_.async_accept([this](asio::error_code error, asio::ip::tcp::socket socket) {
    if (error == asio::error::operation_aborted || !acceptor_.is_open()) return;
    if (!error) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ++counters_.connections;
      }
      std::make_shared<Connection>(*this, std::move(socket))->Start();
    }
    // A failed accept (out of descriptors, say) must not stop the server.
    AcceptNext();
  });
}

void WallServer::Finish(const std::string& peer, const std::string& outcome,
                        const Command* command) {
  {
    // The line is logged before the count moves, so a waiter that sees the count also sees
    // the line.
    std::lock_guard<std::mutex> lock(mutex_);
    std::string line;
    if (command != nullptr) {
      line = peer + " " + Describe(*command) + " -> " + model_.Apply(*command);
      ++counters_.applied;
    } else {
      line = peer + " dropped: " + outcome;
      ++counters_.rejected;
    }
    if (log_) log_(line);
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

}  // namespace ostrel::wallsim
