// The reply peer's thread: accept, read, answer, close; bounded waits throughout so that a
// client that never connects or never sends cannot hold it.
#include "reply_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace ostrel::fuzz {
namespace {

constexpr int kPatienceMs = 3000;  // how long the peer waits for the client at each step
constexpr std::size_t kMaxPieces = 12;

bool WaitFor(int fd, short events) {
  ::pollfd entry{fd, events, 0};
  int ready;
  do {
    ready = ::poll(&entry, 1, kPatienceMs);
  } while (ready < 0 && errno == EINTR);
  return ready > 0;
}

}  // namespace

ReplyPeer::ReplyPeer() {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) ||
      ::listen(listener_, 16) ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length)) {
    throw std::runtime_error("reply peer: cannot listen on 127.0.0.1");
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { Run(); });
}

ReplyPeer::~ReplyPeer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
  ::close(listener_);
}

void ReplyPeer::Expect(ReplyPlan plan) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    plan_ = std::move(plan);
    has_plan_ = true;
    done_ = false;
  }
  changed_.notify_all();
}

bool ReplyPeer::WaitDone(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, limit, [this] { return done_; });
}

void ReplyPeer::Run() {
  for (;;) {
    ReplyPlan plan;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return has_plan_ || stop_; });
      if (stop_) {
        return;
      }
      plan = plan_;
      has_plan_ = false;
    }
    Serve(plan);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    changed_.notify_all();
  }
}

void ReplyPeer::Serve(const ReplyPlan& plan) {
  if (!WaitFor(listener_, POLLIN)) {
    return;
  }
  const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
  if (connection < 0) {
    return;
  }
  // Small pieces go out at once rather than waiting for the client's acknowledgement.
  const int on = 1;
  ::setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  std::vector<unsigned char> request(plan.request_size);
  std::size_t got = 0;
  bool reading = true;
  while (reading && got < request.size()) {
    if (!WaitFor(connection, POLLIN)) {
      break;
    }
    const ssize_t n = ::recv(connection, request.data() + got, request.size() - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
      reading = false;
    }
  }
  if (got == request.size()) {
    // At most kMaxPieces pieces, the rest at once: many tiny pieces cost time, not coverage.
    const std::size_t piece = plan.piece == 0 ? plan.reply.size() : plan.piece;
    for (std::size_t sent = 0, pieces = 0; sent < plan.reply.size(); ++pieces) {
      const std::size_t left = plan.reply.size() - sent;
      const std::size_t n = pieces + 1 < kMaxPieces ? std::min(piece, left) : left;
      const ssize_t put = ::send(connection, plan.reply.data() + sent, n, MSG_NOSIGNAL);
      if (put <= 0) {
        break;  // the client has gone: it needed no more
      }
      sent += static_cast<std::size_t>(put);
      if (plan.pause_between_pieces && sent < 4 * piece) {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
      }
    }
  }
  if (plan.reset) {
    linger hard{1, 0};
    ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  }
  ::close(connection);
}

}  // namespace ostrel::fuzz
