// The loopback wall controller: one thread polling its listener and connections.
#include "net/loopback_peer.h"

#include <atomic>
#include <cstring>
#include <stdexcept>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace ostrel::testing {
namespace {

#if defined(_WIN32)
using NativeSocket = SOCKET;
constexpr NativeSocket kNoSocket = INVALID_SOCKET;
using PollEntry = WSAPOLLFD;
void CloseNative(NativeSocket s) { closesocket(s); }
int PollNative(PollEntry* entries, std::size_t count, int ms) {
  return WSAPoll(entries, static_cast<ULONG>(count), ms);
}
bool WouldBlock() { return WSAGetLastError() == WSAEWOULDBLOCK; }
bool WasReset() {
  const int error = WSAGetLastError();
  return error == WSAECONNRESET || error == WSAECONNABORTED;
}
void MakeNonBlocking(NativeSocket s) {
  u_long on = 1;
  ioctlsocket(s, FIONBIO, &on);
}
constexpr int kSendFlags = 0;
#else
using NativeSocket = int;
constexpr NativeSocket kNoSocket = -1;
using PollEntry = ::pollfd;
void CloseNative(NativeSocket s) { ::close(s); }
int PollNative(PollEntry* entries, std::size_t count, int ms) {
  return ::poll(entries, static_cast<nfds_t>(count), ms);
}
bool WouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }
bool WasReset() { return errno == ECONNRESET || errno == EPIPE; }
void MakeNonBlocking(NativeSocket s) { ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) | O_NONBLOCK); }
constexpr int kSendFlags = MSG_NOSIGNAL;
#endif

NativeSocket OpenLoopbackListener(int* port) {
  NativeSocket listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (listener == kNoSocket) {
    return kNoSocket;
  }
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    CloseNative(listener);
    return kNoSocket;
  }
  *port = ntohs(address.sin_port);
  return listener;
}

// Sends all of `bytes` on a non-blocking socket (the replies are small).
void SendWhole(NativeSocket s, const std::vector<unsigned char>& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const auto result = ::send(s, reinterpret_cast<const char*>(bytes.data()) + sent,
                               static_cast<int>(bytes.size() - sent), kSendFlags);
    if (result > 0) {
      sent += static_cast<std::size_t>(result);
    } else if (!WouldBlock()) {
      return;
    }
  }
}

}  // namespace

struct LoopbackPeer::Impl {
#if defined(_WIN32)
  WSADATA wsa_data;
#endif
  NativeSocket listener = kNoSocket;
  std::atomic<bool> stop{false};
  struct Live {
    NativeSocket socket;
    std::size_t record;
    bool replied;
  };
  std::vector<Live> live;
  std::vector<NativeSocket> silent;  // kNeverRead connections, closed when the peer stops
};

LoopbackPeer::LoopbackPeer(PeerScript script) : script_(std::move(script)), impl_(new Impl) {
#if defined(_WIN32)
  WSAStartup(MAKEWORD(2, 2), &impl_->wsa_data);
#endif
  impl_->listener = OpenLoopbackListener(&port_);
  if (impl_->listener == kNoSocket || ::listen(impl_->listener, SOMAXCONN) != 0) {
    throw std::runtime_error("loopback peer: cannot listen on 127.0.0.1");
  }
  MakeNonBlocking(impl_->listener);
  thread_ = std::thread([this] { Run(); });
}

LoopbackPeer::~LoopbackPeer() {
  impl_->stop = true;
  thread_.join();
  for (const Impl::Live& live : impl_->live) {
    CloseNative(live.socket);
  }
  for (NativeSocket s : impl_->silent) {
    CloseNative(s);
  }
  CloseNative(impl_->listener);
#if defined(_WIN32)
  WSACleanup();
#endif
}

int LoopbackPeer::UnusedPort() {
  int port = 0;
  NativeSocket probe = OpenLoopbackListener(&port);
  if (probe == kNoSocket) {
    throw std::runtime_error("loopback peer: cannot bind on 127.0.0.1");
  }
  CloseNative(probe);
  return port;
}

void LoopbackPeer::Run() {
  Impl& impl = *impl_;
  std::vector<PollEntry> entries;
  std::vector<unsigned char> buffer(64 * 1024);
  while (!impl.stop) {
    entries.clear();
    entries.push_back({impl.listener, POLLIN, 0});
    for (const Impl::Live& live : impl.live) {
      entries.push_back({live.socket, POLLIN, 0});
    }
    // Short, so that the destructor's stop request is seen promptly.
    if (PollNative(entries.data(), entries.size(), 10) <= 0) {
      continue;
    }
    // Connections first: entries[i + 1] belongs to impl.live[i] as it was when polled.
    std::vector<Impl::Live> still_live;
    for (std::size_t i = 0; i < impl.live.size(); ++i) {
      Impl::Live live = impl.live[i];
      bool done = false;
      if (entries[i + 1].revents != 0) {
        const auto got = ::recv(live.socket, reinterpret_cast<char*>(buffer.data()),
                                static_cast<int>(buffer.size()), 0);
        std::lock_guard<std::mutex> lock(mutex_);
        ConnectionRecord& record = records_[live.record];
        if (got > 0) {
          const auto count = static_cast<std::size_t>(got);
          if (script_.keep_bytes) {
            record.bytes.insert(record.bytes.end(), buffer.begin(), buffer.begin() + got);
          }
          record.byte_count += count;
          total_bytes_ += count;
          if (!live.replied && !script_.reply.empty() && record.byte_count >= script_.reply_after) {
            SendWhole(live.socket, script_.reply);
            live.replied = true;
            done = script_.close_after_reply;
          }
        } else if (got == 0) {
          record.client_closed = true;
          done = true;
        } else if (!WouldBlock()) {
          record.reset = WasReset();
          done = true;
        }
        if (done) {
          CloseNative(live.socket);
          record.finished = true;
          ++finished_;
          changed_.notify_all();
        }
      }
      if (!done) {
        still_live.push_back(live);
      }
    }
    impl.live.swap(still_live);
    if (entries[0].revents != 0) {
      for (;;) {
        const NativeSocket accepted = ::accept(impl.listener, nullptr, nullptr);
        if (accepted == kNoSocket) {
          break;
        }
        MakeNonBlocking(accepted);
        if (script_.receive_buffer > 0) {
          ::setsockopt(accepted, SOL_SOCKET, SO_RCVBUF,
                       reinterpret_cast<const char*>(&script_.receive_buffer),
                       sizeof script_.receive_buffer);
        }
        std::size_t index;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          index = records_.size();
          records_.emplace_back();
        }
        bool finished_now = false;
        switch (script_.action) {
          case PeerAction::kRead: {
            Impl::Live live{accepted, index, false};
            if (!script_.reply.empty() && script_.reply_after == 0) {
              SendWhole(accepted, script_.reply);
              live.replied = true;
              finished_now = script_.close_after_reply;
            }
            if (finished_now) {
              CloseNative(accepted);
            } else {
              impl.live.push_back(live);
            }
            break;
          }
          case PeerAction::kCloseAtOnce:
            CloseNative(accepted);
            finished_now = true;
            break;
          case PeerAction::kResetAtOnce: {
            linger hard{};
            hard.l_onoff = 1;
            hard.l_linger = 0;
            ::setsockopt(accepted, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard),
                         sizeof hard);
            CloseNative(accepted);
            finished_now = true;
            break;
          }
          case PeerAction::kNeverRead:
            impl.silent.push_back(accepted);
            break;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (finished_now) {
          records_[index].finished = true;
          ++finished_;
        }
        changed_.notify_all();
      }
    }
  }
}

std::vector<ConnectionRecord> LoopbackPeer::Connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_;
}

std::size_t LoopbackPeer::AcceptedCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_.size();
}

std::size_t LoopbackPeer::FinishedCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return finished_;
}

std::size_t LoopbackPeer::TotalBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return total_bytes_;
}

bool LoopbackPeer::WaitForFinished(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return finished_ >= count; });
}

bool LoopbackPeer::WaitForAccepted(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return records_.size() >= count; });
}

}  // namespace ostrel::testing
